#include "trace/session_trace.hpp"

#include <array>
#include <utility>

namespace orv::emu {

namespace {

// The host's model keeps what the real adapter holds: each read from 0x81
// pops it too. This bounds it should the two ever disagree.
constexpr std::size_t HOST_MODEL_READBACK = std::size_t{1} << 24;

} // namespace

BoardTrace::BoardTrace(AdapterModel& adapter, std::unique_ptr<TraceFile> file)
    : adapter_(&adapter), file_(std::move(file)), lines_(*file_, LineTrace::Inputs::board)
{
    adapter_->set_trace(&lines_);
}

BoardTrace::~BoardTrace()
{
    finish(nullptr);
}

bool BoardTrace::finish(std::string* error)
{
    if (adapter_ != nullptr) {
        adapter_->set_trace(nullptr);
        adapter_ = nullptr;
        ok_ = file_->finish(lines_.now(), &error_);
    }
    if (!ok_ && error != nullptr) {
        *error = error_;
    }
    return ok_;
}

HostTrace::HostTrace(std::unique_ptr<TraceFile> file)
    : file_(std::move(file)), resolver_(*file_), lines_(resolver_, LineTrace::Inputs::samples),
      model_(std::make_unique<AdapterModel>(AdapterConfig{HOST_MODEL_READBACK, 0}, nothing_connected_))
{
    model_->set_trace(&lines_);
}

HostTrace::~HostTrace()
{
    finish(nullptr);
}

void HostTrace::sent(std::span<const std::uint8_t> stream)
{
    if (!finished_ && !stream.empty()) {
        model_->write_commands(stream);
    }
}

void HostTrace::read_back(std::span<const std::uint8_t> bytes)
{
    if (finished_) {
        return;
    }
    resolver_.read_back(bytes);
    std::array<std::uint8_t, 512> popped{};
    for (std::size_t left = bytes.size(); left > 0;) {
        const std::size_t n = model_->read_data(std::span(popped).first(std::min(left, popped.size())));
        if (n == 0) {
            break; // the adapter sent more than the model holds
        }
        left -= n;
    }
}

bool HostTrace::finish(std::string* error)
{
    if (!finished_) {
        finished_ = true;
        model_->set_trace(nullptr);
        resolver_.finish();
        ok_ = file_->finish(lines_.now(), &error_);
    }
    if (!ok_ && error != nullptr) {
        *error = error_;
    }
    return ok_;
}

} // namespace orv::emu
