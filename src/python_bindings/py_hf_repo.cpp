// The PyHfRepo class: a hub repository handle.

#include "python_bindings/arguments.h"
#include "python_bindings/entry_points.h"
#include "python_bindings/registration.h"
#include "python_bindings/wrappers.h"

namespace varkel::python {

namespace {

template <class T>
T hub_value_or_raise(HubResult<T>&& result) {
  if (!result) raise_runtime(result.error());
  return std::move(*result);
}

// The interrupt check of a download. What a signal handler raises (the
// KeyboardInterrupt of Ctrl-C) stays set, and once the download has stopped
// between chunks the call raises that exception itself.
class KeptSignal {
 public:
  DownloadInterrupt check() {
    return [this]() -> std::optional<std::string> {
      if (PyErr_CheckSignals() == 0) return std::nullopt;
      raised_ = true;
      return "a signal handler raised an exception";
    };
  }
  void raise_if_pending() const {
    if (raised_) throw PythonError();
  }

 private:
  bool raised_ = false;
};

// Path bytes as str; bytes that are not UTF-8 become U+FFFD.
PyRef path_str(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  return checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

PyRef new_list(std::size_t size) { return checked(PyList_New(static_cast<Py_ssize_t>(size))); }

void set_item(PyRef& list, std::size_t index, PyRef item) {
  if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release()) != 0) throw PythonError();
}

// The one string argument of a method taking `filename`.
std::string filename_arg(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* const keywords[] = {"filename", nullptr};
  PyObject* filename = nullptr;
  match_arguments(args, kwargs, format, keywords, &filename);
  return str_arg(filename, "filename");
}

PyRef new_repo(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"repo_id", nullptr};
  PyObject* repo_id = nullptr;
  match_arguments(args, kwargs, "O:PyHfRepo", keywords, &repo_id);
  return box(std::make_unique<PyHfRepo>(hub_value_or_raise(HfRepo::from_hf(str_arg(repo_id, "repo_id")))));
}

PyRef ensure(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  const std::string filename = filename_arg(args, kwargs, "O:ensure");
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  KeptSignal signal;
  auto path = self.repo.ensure(filename, signal.check());
  signal.raise_if_pending();
  return path_str(hub_value_or_raise(std::move(path)));
}

PyRef ensure_batch(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"filenames", nullptr};
  PyObject* filenames = nullptr;
  match_arguments(args, kwargs, "O:ensure_batch", keywords, &filenames);
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  const std::vector<std::string> names = str_list_arg(filenames, "filenames");
  KeptSignal signal;
  auto fetched = self.repo.ensure_batch(names, signal.check());
  signal.raise_if_pending();
  const auto paths = hub_value_or_raise(std::move(fetched));
  PyRef out = new_list(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) set_item(out, i, path_str(paths[i]));
  return out;
}

PyRef file_size(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  const std::string filename = filename_arg(args, kwargs, "O:file_size");
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  return checked(PyLong_FromUnsignedLongLong(hub_value_or_raise(self.repo.file_size(filename))));
}

PyRef file_sizes(PyObject* self_object) {
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  const auto sizes = hub_value_or_raise(self.repo.file_sizes());
  PyRef out = new_list(sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto& [name, size] = sizes[i];
    PyRef size_value = checked(PyLong_FromUnsignedLongLong(size));
    set_item(out, i, checked(PyTuple_Pack(2, str_value(name).get(), size_value.get())));
  }
  return out;
}

PyRef remove(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  const std::string filename = filename_arg(args, kwargs, "O:remove");
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  self.repo.remove(filename);
  return none();
}

PyRef ls(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"dir", nullptr};
  PyObject* dir = nullptr;
  match_arguments(args, kwargs, "|O:ls", keywords, &dir);
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  const std::optional<std::string> directory = optional_str_arg(dir, "dir");
  const auto names = hub_value_or_raise(self.repo.ls(directory));
  PyRef out = new_list(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) set_item(out, i, str_value(names[i]));
  return out;
}

PyRef path(PyObject* self_object) {
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  return path_str(self.repo.path());
}

PyRef is_hf(PyObject* self_object) {
  const PyHfRepo& self = unbox<PyHfRepo>(self_object);
  SharedBorrow borrow(self);
  return PyRef::borrow(self.repo.is_hf() ? Py_True : Py_False);
}

constexpr int kArguments = METH_VARARGS | METH_KEYWORDS;

PyMethodDef repo_methods[] = {
    {"ensure", as_cfunction(&method_entry<ensure>), kArguments,
     "ensure($self, filename)\n--\n\nDownload a file and return its local path."},
    {"ensure_batch", as_cfunction(&method_entry<ensure_batch>), kArguments,
     "ensure_batch($self, filenames)\n--\n\nDownload multiple files in parallel (on native threads).\n"
     "Returns local paths in the same order."},
    {"file_size", as_cfunction(&method_entry<file_size>), kArguments,
     "file_size($self, filename)\n--\n\nGet the expected size of a file (from the hub, or local file-system "
     "metadata)."},
    {"file_sizes", as_cfunction(&no_args_entry<file_sizes>), METH_NOARGS,
     "file_sizes($self)\n--\n\nGet (filename, size_bytes) for all files in the repo."},
    {"remove", as_cfunction(&method_entry<remove>), kArguments, "remove($self, filename)\n--\n\nDelete a cached file."},
    {"ls", as_cfunction(&method_entry<ls>), kArguments,
     "ls($self, dir=None)\n--\n\nList immediate children of *dir* (defaults to root).  Behaves like UNIX\n"
     "``ls``: returns names of files and directories at that level."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef repo_getters[] = {
    {"path", &getter_entry<path>, nullptr, nullptr, nullptr},
    {"is_hf", &getter_entry<is_hf>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot repo_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyHfRepo(repo_id)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<new_repo>)},
    {Py_tp_methods, repo_methods},
    {Py_tp_getset, repo_getters},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<PyHfRepo>)},
    {0, nullptr},
};
PyType_Spec repo_spec = {"_varkel.PyHfRepo", sizeof(Boxed<PyHfRepo>), 0, Py_TPFLAGS_DEFAULT, repo_slots};

}  // namespace

void register_hf_repo(PyObject* module) { add_boxed_type<PyHfRepo>(module, repo_spec); }

}  // namespace varkel::python
