// The binding library's stock map conversion, kept as a reference for our own. A distinct hash
// type keeps this map type apart from the module's sample type and its caster.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <unordered_map>

namespace py = pybind11;

namespace {
struct StockHash : std::hash<std::string> {};
using StockMap = std::unordered_map<std::string, double, StockHash>;
}  // namespace

void register_stock_floor(py::module_& m) {
    m.def("stock_convert", [](const StockMap& x) { return x.size(); });
}
