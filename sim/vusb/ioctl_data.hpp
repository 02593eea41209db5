// Access to the memory of the client behind an ioctl, through umockdev: its
// argument and the structures and buffers it points to are resolved into
// UMockdevIoctlData blocks (copied in, written back when updated).
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include <umockdev.h>

#include "sim/vusb/ioctl_log.hpp"

namespace orv::sim {

// A resolved block, dropped with its owner.
struct DataRef {
    UMockdevIoctlData* data = nullptr;
    DataRef() = default;
    explicit DataRef(UMockdevIoctlData* owned) : data(owned) {}
    DataRef(DataRef&& other) noexcept : data(other.data) { other.data = nullptr; }
    DataRef& operator=(DataRef&& other) noexcept
    {
        std::swap(data, other.data);
        return *this;
    }
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
    ~DataRef()
    {
        if (data != nullptr) {
            g_object_unref(data);
        }
    }
};

// The `length` bytes that the pointer at `offset` of `parent` points to;
// empty when the client's memory cannot be read.
inline DataRef resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error != nullptr) {
        trace("resolve failed: %s", error->message);
        g_error_free(error);
    }
    return DataRef(child);
}

// The ioctl's answer: its return value and, when that is -1, errno.
inline void complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

// The structure the ioctl argument points to.
template <typename T> bool read_arg(UMockdevIoctlData* arg, T* out)
{
    DataRef data = resolve(arg, 0, sizeof(T));
    if (data.data == nullptr) {
        return false;
    }
    std::memcpy(out, data.data->data, sizeof(T));
    return true;
}

template <typename T> bool write_arg(UMockdevIoctlData* arg, const T& value)
{
    DataRef data = resolve(arg, 0, sizeof(T));
    if (data.data == nullptr) {
        return false;
    }
    umockdev_ioctl_data_update(data.data, 0, reinterpret_cast<guint8*>(const_cast<T*>(&value)),
                               static_cast<gint>(sizeof(T)));
    return true;
}

} // namespace orv::sim
