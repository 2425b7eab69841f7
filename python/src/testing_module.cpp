// A test-only extension beside zyl_profile's: the library's slow, obvious
// reference model of a query, so the Python tests check the bindings'
// answers against it directly rather than through another program.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "reference_query.h"
#include "zyl_package/report_io.h"

namespace py = pybind11;

PYBIND11_MODULE(_zyl_profile_testing, m) {
  m.doc() = "The query reference model, for the tests";
  // The records' Python types are the main extension's; it registers them.
  py::module_::import("zyl_profile._zyl_profile");
  m.def(
      "reference_query",
      [](const std::string& path, const zyl_profile::Query& query) {
        const zyl_package::LoadResult loaded = zyl_package::read_report(path);
        if (!loaded.ok())
          throw std::invalid_argument(loaded.error().to_string());
        return zyl_profile::testing::reference_query(loaded.value(), query);
      },
      py::arg("path"), py::arg("query"));
}
