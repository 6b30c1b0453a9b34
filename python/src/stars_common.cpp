#include "stars.h"

#include <cstring>
#include <new>

namespace tamrix::python {

void CollectStar(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    auto& stars = *static_cast<StarList*>(context);
    if (stars.overflow)
        return;
    try {
        stars.items.push_back(Star{x, y, cx, cy, flux, peak});
    } catch (const std::bad_alloc&) {
        stars.overflow = true; // must not leave the library's parallel loop as an exception
    }
}

void RegisterStarDtype()
{
    PYBIND11_NUMPY_DTYPE(Star, x, y, cx, cy, flux, peak);
}

py::array StarList::ToArray() const
{
    if (overflow)
        throw std::bad_alloc();
    py::array_t<Star> array(static_cast<py::ssize_t>(items.size()));
    if (!items.empty())
        std::memcpy(array.mutable_data(), items.data(), items.size() * sizeof(Star));
    return array;
}

const bool* PixelFlags(py::handle flags, const std::string& name, const Frame& frame)
{
    if (!py::isinstance<py::array_t<bool>>(flags))
        throw py::type_error(name + " must be a numpy.ndarray of dtype bool");
    auto array = py::reinterpret_borrow<py::array>(flags);
    if (array.ndim() != 2 || array.shape(0) != frame.height || array.shape(1) != frame.width)
        throw py::value_error(name + " must be a 2-D array of the image's shape");
    if (!(array.flags() & py::array::c_style))
        throw py::value_error(name + " must be C-contiguous");
    return static_cast<const bool*>(array.data());
}

ClaimMask::ClaimMask(const Frame& frame, py::handle mask)
    : width_(frame.width)
    , height_(frame.height)
{
    if (!mask.is_none()) {
        seed_ = PixelFlags(mask, "mask", frame);
        seedArray_ = py::reinterpret_borrow<py::object>(mask);
    }
    words_.assign((frame.Pixels() + 31) / 32, 0u);
}

void ClaimMask::Pack()
{
    if (seed_ == nullptr)
        return;
    const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    for (std::size_t i = 0; i < n; ++i)
        if (seed_[i])
            words_[i / 32] |= 1u << (i % 32);
}

py::array ClaimMask::Unpack() const
{
    py::array_t<bool> array({height_, width_});
    bool* out = array.mutable_data();
    const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = (words_[i / 32] >> (i % 32)) & 1u;
    return array;
}

} // namespace tamrix::python
