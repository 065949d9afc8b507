// The PyHfRepo class: a hub repository handle.

#include "hf_util/hf_repo.h"
#include "python_bindings/arguments.h"
#include "python_bindings/method_descriptors.h"
#include "python_bindings/confined.h"
#include "python_bindings/registration.h"

namespace varkel::python {

namespace {

struct PyHfRepo : Confined {
  explicit PyHfRepo(HfRepo repo)
      : Confined("_varkel::python_bindings::PyHfRepo"), repo(std::make_unique<HfRepo>(std::move(repo))) {}
  ~PyHfRepo() {
    if (!on_owner_thread()) {
      report_foreign_drop();
      (void)repo.release();
    }
  }
  std::unique_ptr<HfRepo> repo;
};

template <class T>
T hub_value_or_raise(HubResult<T>&& result) {
  if (!result) raise_runtime(result.error());
  return std::move(*result);
}

// Path bytes as str; bytes that are not UTF-8 become U+FFFD.
py::str path_str(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

}  // namespace

void register_hf_repo(py::module_& module) {
  auto repo_class = py::class_<PyHfRepo>(module, "PyHfRepo", "PyHfRepo(repo_id)\n--\n\n", py::is_final())
      .def(py::init([](py::object repo_id) {
             return std::make_unique<PyHfRepo>(hub_value_or_raise(HfRepo::from_hf(str_arg(repo_id, "repo_id"))));
           }),
           py::arg("repo_id"), "__init__(self, repo_id)\n--\n\n")
      .def(
          "ensure",
          [](const PyHfRepo& self, py::handle filename) {
            SharedBorrow borrow(self);
            return path_str(hub_value_or_raise(self.repo->ensure(str_arg(filename, "filename"))));
          },
          py::arg("filename"), "ensure($self, filename)\n--\n\nDownload a file and return its local path.")
      .def(
          "ensure_batch",
          [](const PyHfRepo& self, py::handle filenames) {
            SharedBorrow borrow(self);
            const std::vector<std::string> names = str_list_arg(filenames, "filenames");
            py::list out;
            for (const auto& path : hub_value_or_raise(self.repo->ensure_batch(names))) out.append(path_str(path));
            return out;
          },
          py::arg("filenames"),
          "ensure_batch($self, filenames)\n--\n\nDownload multiple files in parallel (on native threads).\n"
          "Returns local paths in the same order.")
      .def(
          "file_size",
          [](const PyHfRepo& self, py::handle filename) {
            SharedBorrow borrow(self);
            return hub_value_or_raise(self.repo->file_size(str_arg(filename, "filename")));
          },
          py::arg("filename"),
          "file_size($self, filename)\n--\n\nGet the expected size of a file (from the hub, or local file-system "
          "metadata).")
      .def(
          "file_sizes",
          [](const PyHfRepo& self) {
            SharedBorrow borrow(self);
            py::list out;
            for (const auto& [name, size] : hub_value_or_raise(self.repo->file_sizes())) {
              out.append(py::make_tuple(py::str(name), py::int_(size)));
            }
            return out;
          },
          "file_sizes($self)\n--\n\nGet (filename, size_bytes) for all files in the repo.")
      .def(
          "remove",
          [](const PyHfRepo& self, py::handle filename) {
            SharedBorrow borrow(self);
            self.repo->remove(str_arg(filename, "filename"));
          },
          py::arg("filename"), "remove($self, filename)\n--\n\nDelete a cached file.")
      .def(
          "ls",
          [](const PyHfRepo& self, py::handle dir) {
            SharedBorrow borrow(self);
            const std::optional<std::string> directory = optional_str_arg(dir, "dir");
            py::list out;
            for (const auto& name : hub_value_or_raise(self.repo->ls(directory))) out.append(py::str(name));
            return out;
          },
          py::arg("dir") = py::none(),
          "ls($self, dir=None)\n--\n\nList immediate children of *dir* (defaults to root).  Behaves like UNIX\n"
          "``ls``: returns names of files and directories at that level.")
      .def_property_readonly("path",
                             [](const PyHfRepo& self) {
                               SharedBorrow borrow(self);
                               return path_str(self.repo->path());
                             })
      .def_property_readonly("is_hf", [](const PyHfRepo& self) {
        SharedBorrow borrow(self);
        return self.repo->is_hf();
      });
  install_method_descriptors(repo_class, {"ensure", "ensure_batch", "file_size", "file_sizes", "remove", "ls"});
  // pybind11 gives every property the docstring ""; these have none.
  for (const char* getter : {"path", "is_hf"}) py::setattr(repo_class.attr(getter), "__doc__", py::none());
}

}  // namespace varkel::python
