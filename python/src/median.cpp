// Median filter with progress reports, cancellation and background
// subtraction.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

#include <pybind11/numpy.h>

#include <atomic>
#include <optional>
#include <thread>

namespace tamrix::python {

namespace {

// A flag another thread can raise to stop a running median filter.
class CancelToken {
public:
    void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    void Reset() { cancelled_.store(false, std::memory_order_relaxed); }
    bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
};

// What the progress messages of one call reach. The filter reads `flag` as
// its cancel byte; it is raised when the token or event is set, when the
// progress callable raises, or on a signal such as Ctrl-C, and the first
// Python exception is kept for the caller.
struct MedianHost {
    py::object progress = py::none(); // callable(fraction) or None
    py::object event = py::none();    // object with is_set() or None
    const CancelToken* token = nullptr;
    std::thread::id caller;       // the only thread where signals are handled
    unsigned char flag = 0;
    std::optional<py::error_already_set> error; // guarded by the GIL
};

void RaiseFlag(MedianHost& host)
{
    __atomic_store_n(&host.flag, static_cast<unsigned char>(1), __ATOMIC_RELAXED);
}

// The window's Send member: runs on the worker thread that finished a row,
// with the GIL released by the caller.
intptr_t OnProgress(void* context, unsigned message, uintptr_t wParam, intptr_t /*text*/)
{
    auto& host = *static_cast<MedianHost*>(context);
    if (message != kMedianProgressMessage)
        return 0;
    if (host.token != nullptr && host.token->Cancelled())
        RaiseFlag(host);
    const bool onCaller = std::this_thread::get_id() == host.caller;
    if (host.progress.is_none() && host.event.is_none() && !onCaller)
        return 0;
    py::gil_scoped_acquire gil;
    if (host.error)
        return 0;
    try {
        if (!host.event.is_none() && host.event.attr("is_set")().cast<bool>())
            RaiseFlag(host);
        if (!host.progress.is_none())
            host.progress(static_cast<double>(wParam) / 65535.0);
        if (onCaller && PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    } catch (py::error_already_set& e) {
        host.error = std::move(e);
        RaiseFlag(host);
    } catch (const std::exception& e) {
        // A C++ exception must not cross the library's parallel loop.
        PyErr_SetString(PyExc_RuntimeError, e.what());
        host.error = py::error_already_set();
        RaiseFlag(host);
    }
    return 0;
}

py::array Median(py::handle image, py::handle radius, py::handle low, py::handle high, bool subtract,
                 py::handle offset, py::handle scale, py::object progress, py::object cancel, py::handle out)
{
    const Frame src = FrameArg(image, "image");
    if (src.width == 0 && src.height > 0)
        throw py::value_error("image must have at least one column");
    const int r = static_cast<int>(IntArg(radius, "radius", 0, std::max(0, src.width - 1)));
    const int o = static_cast<int>(IntArg(offset, "offset", 0, INT32_MAX));
    const int k = static_cast<int>(IntArg(scale, "scale", 1, 1000));

    // 32-bit frames are binned over low .. high; by default the frame's own range.
    long long lo = 0, hi = 0;
    if (src.depth == 2) {
        if (!low.is_none() || !high.is_none())
            throw py::value_error("low and high apply to uint32 frames only");
    } else {
        if (low.is_none() || high.is_none()) {
            if (src.Empty()) {
                lo = hi = 0;
            } else {
                lo = src.array.attr("min")().cast<long long>();
                hi = src.array.attr("max")().cast<long long>();
            }
        }
        if (!low.is_none())
            lo = IntArg(low, "low", 0, UINT32_MAX);
        if (!high.is_none())
            hi = IntArg(high, "high", 0, UINT32_MAX);
        if (lo > hi)
            throw py::value_error("low must not be above high");
    }
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be callable");

    MedianHost host;
    host.progress = progress;
    host.caller = std::this_thread::get_id();
    if (!cancel.is_none()) {
        if (py::isinstance<CancelToken>(cancel))
            host.token = &cancel.cast<const CancelToken&>();
        else if (py::hasattr(cancel, "is_set"))
            host.event = cancel;
        else
            throw py::type_error("cancel must be a tamrix.CancelToken or have an is_set() method "
                                 "(threading.Event)");
        if ((host.token != nullptr && host.token->Cancelled())
            || (!host.event.is_none() && host.event.attr("is_set")().cast<bool>()))
            host.flag = 1;
    }

    const Frame dst = OutputFrame(out, src.height, src.width, src.depth);
    CheckDistinct(src, "image", dst, "out");
    THostWindow window{&host, &OnProgress, nullptr};
    {
        py::gil_scoped_release release;
        tamrix::Median(&window, &host.flag, src.data, dst.data, src.width, src.height, src.depth,
                       static_cast<int>(static_cast<uint32_t>(lo)), static_cast<int>(static_cast<uint32_t>(hi)), r,
                       o, k, subtract ? 1 : 0, 0);
    }
    if (host.error)
        throw std::move(*host.error);
    if (host.flag != 0)
        throw CancelledError("median filter cancelled; out holds the rows finished before");
    return dst.array;
}

} // namespace

void BindMedian(py::module_& m)
{
    py::class_<CancelToken>(m, "CancelToken", R"doc(CancelToken()

A flag that another thread raises to stop a running operation (the median
filter). The operation then skips the rows it has not started and raises
tamrix.Cancelled.)doc")
        .def(py::init<>())
        .def("cancel", &CancelToken::Cancel, "cancel()\n\nAsk the operations watching this token to stop.")
        .def("reset", &CancelToken::Reset, "reset()\n\nClear the flag for reuse.")
        .def_property_readonly("cancelled", &CancelToken::Cancelled, "True once cancel() has been called.");

    m.def("median", &Median, py::arg("image"), py::kw_only(), py::arg("radius"), py::arg("low") = py::none(),
          py::arg("high") = py::none(), py::arg("subtract") = false, py::arg("offset") = 0, py::arg("scale") = 1000,
          py::arg("progress") = py::none(), py::arg("cancel") = py::none(), py::arg("out") = py::none(),
          R"doc(median(image, *, radius, low=None, high=None, subtract=False, offset=0, scale=1000, progress=None, cancel=None, out=None)

Median-filter a frame with a (2 radius + 1)^2 window clipped at the edges,
and optionally subtract the result as background.

With n pixels in a window the value is one above its (n // 2)-th smallest
pixel (nine equal values v give v + 1; radius 0 gives 0 or low).

Parameters
----------
image : 2-D uint16 or uint32 array
radius : int, 0 <= radius < width
low, high : int, optional
    uint32 frames only: the value range binned by the histogram (at most
    262144 bins, coarser for wider ranges). Default: the frame's minimum
    and maximum. Pixels outside count in the first or last bin.
subtract : bool
    When true the result is image + offset - filtered * scale / 1000,
    clamped to the pixel range.
offset : int >= 0
scale : int, 1 .. 1000
    Scale of the subtracted background in thousandths.
progress : callable, optional
    Called as progress(fraction) after every finished row, from worker
    threads (one at a time), with fraction rising to 1.0. An exception it
    raises stops the filter and is re-raised.
cancel : tamrix.CancelToken or threading.Event, optional
    When set (before or during the call) the rows not yet started are
    skipped and tamrix.Cancelled is raised.
out : array of the image's dtype and shape, optional
    Receives the result; must not share memory with image.

Returns
-------
The filtered (or background-subtracted) frame.)doc");
}

} // namespace tamrix::python
