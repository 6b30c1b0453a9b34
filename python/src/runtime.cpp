// Process-wide settings of the parallel runtime.
#include "bindings.h"

#include "tamrix.h"

namespace tamrix::python {

void BindRuntime(pybind11::module_& m)
{
    m.def("omp_set_dynamic", &tamrix::OMPSetDynamic,
          R"doc(omp_set_dynamic()

Let the OpenMP runtime use fewer threads than processors for all later
parallel loops of the process (omp_set_dynamic(1)). There is no way back.)doc");
}

} // namespace tamrix::python
