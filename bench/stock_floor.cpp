// The binding library's stock map conversion, kept as a reference for our own. A distinct hash
// type keeps this map type apart from the module's sample type and its caster.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <unordered_map>

#include "core/types.hpp"

namespace py = pybind11;

namespace {
struct StockHash : std::hash<std::string> {};
using StockMap = std::unordered_map<std::string, double, StockHash>;

// Learners are called through methods: this do-nothing object crosses the boundary the same way.
struct StockFloor {};
}  // namespace

void register_stock_floor(py::module_& m) {
    m.def("stock_convert", [](const StockMap& x) { return x.size(); });
    m.def("stock_echo", [](const StockMap& x) { return x; });
    py::class_<StockFloor>(m, "StockFloor")
        .def(py::init<>())
        .def("convert", [](StockFloor&, const StockMap& x) { return x.size(); })
        .def("convert_labelled", [](StockFloor&, const StockMap& x, quelb::Label) { return x.size(); })
        .def("convert_targeted", [](StockFloor&, const StockMap& x, double) { return x.size(); });
}
