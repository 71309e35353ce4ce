// zentrel.core._engine: the private native module of the package's core layer. It
// runs the same driver as zentrel_py, but silently, with adjustable limits,
// with the interpreter lock released, and offers each stage of the pipeline
// on numpy arrays.
#include "binding/engine/common.h"

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Private native engine of the zentrel package.";
    zentrel_engine::register_limits(m);
    zentrel_engine::register_run(m);
    zentrel_engine::register_passes(m);
    zentrel_engine::register_grids(m);
    zentrel_engine::register_decision(m);
    zentrel_engine::register_lattice(m);
}
