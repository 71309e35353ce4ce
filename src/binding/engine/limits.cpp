#include <cmath>
#include <string>

#include "binding/engine/common.h"

namespace zentrel_engine {

namespace {

std::string show(double v) {
    py::object value = py::float_(v);
    if (std::floor(v) == v && std::fabs(v) < 1e15) value = py::int_(static_cast<long long>(v));
    return py::str(value).cast<std::string>();
}

double checked_value(const zentrel::LimitOption& option, const py::handle& value) {
    const std::string name = option.name;
    if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value) ||
                                             py::hasattr(value, "__index__") || py::hasattr(value, "__float__"))) {
        throw py::value_error(name + ": got " + py::repr(value).cast<std::string>() + "; a number is required");
    }
    const double v = value.cast<double>();
    if (std::isnan(v) || v < option.lowest || v > option.highest) {
        throw py::value_error(name + ": got " + py::repr(value).cast<std::string>() + "; accepted are " +
                              show(option.lowest) + " .. " + show(option.highest));
    }
    if (option.integer && std::floor(v) != v) {
        throw py::value_error(name + ": got " + py::repr(value).cast<std::string>() + "; a whole number is required");
    }
    return v;
}

}  // namespace

zentrel::AnalysisLimits limits_from(const py::object& given) {
    zentrel::AnalysisLimits limits;
    if (given.is_none()) return limits;
    for (auto item : given.cast<py::dict>()) {
        const auto key = py::str(item.first).cast<std::string>();
        const zentrel::LimitOption* option = zentrel::find_limit_option(key.c_str());
        if (!option) throw py::value_error("unknown limit: " + key);
        const py::handle value = item.second;
        if (option->arity == 1) {
            option->set(limits, 0, checked_value(*option, value));
            continue;
        }
        if (py::isinstance<py::str>(value) || !py::isinstance<py::sequence>(value) || py::len(value) != 2) {
            throw py::value_error(key + ": got " + py::repr(value).cast<std::string>() +
                                  "; a pair (low, high) is required");
        }
        const py::sequence pair = py::reinterpret_borrow<py::sequence>(value);
        const double low = checked_value(*option, pair[0]);
        const double high = checked_value(*option, pair[1]);
        if (!(low <= high)) {
            throw py::value_error(key + ": got " + py::repr(value).cast<std::string>() +
                                  "; the lower bound must not exceed the upper");
        }
        option->set(limits, 0, low);
        option->set(limits, 1, high);
    }
    return limits;
}

void register_limits(py::module_& m) {
    m.def(
        "limit_table",
        [] {
            py::list table;
            for (std::size_t k = 0; k < zentrel::limit_option_count(); ++k) {
                const zentrel::LimitOption& o = zentrel::limit_options()[k];
                const zentrel::AnalysisLimits& d = zentrel::default_limits();
                auto as_number = [&](double v) -> py::object {
                    if (o.integer) return py::int_(static_cast<long long>(v));
                    return py::float_(v);
                };
                py::object defaults = o.arity == 2 ? py::object(py::make_tuple(as_number(o.get(d, 0)), as_number(o.get(d, 1))))
                                                   : as_number(o.get(d, 0));
                table.append(py::make_tuple(o.name, o.arity, o.integer, defaults, o.meaning, o.lowest, o.highest));
            }
            return table;
        },
        "The analysis limit options: (name, arity, integer, default, meaning, lowest, highest).");
    m.def(
        "outcome_table",
        [] {
            py::list statuses;
            for (int k = 0; k < zentrel::REGION_STATUS_COUNT; ++k) {
                const auto& t = zentrel::outcome_text(static_cast<zentrel::RegionStatus>(k));
                statuses.append(py::make_tuple(t.name, t.words));
            }
            py::list tests;
            for (int k = 0; k < zentrel::TEST_OUTCOME_COUNT; ++k) {
                const auto& t = zentrel::test_text(static_cast<zentrel::TestOutcome>(k));
                tests.append(py::make_tuple(t.name, t.words));
            }
            return py::make_tuple(statuses, tests);
        },
        "(statuses, tests): the (name, words) of each status and test code, indexed by code.");
}

}  // namespace zentrel_engine
