#include "platform/HttpStream.h"

#include <utility>

namespace telegate {

THttpStream::THttpStream(size_t capacityOctets)
    : FCapacity(capacityOctets > 0 ? capacityOctets : 1) {}

// The wake runs under the lock, so once Detach has returned no wake is running
// or will run: the reader's side may go away.
bool THttpStream::Push(std::string_view event) {
    std::lock_guard<std::mutex> lock(FMu);
    if (FClosed || FDetached) return false;
    if (FQueued.size() + event.size() > FCapacity) {
        ++FLost;
        ++FDropped;
        return false;
    }
    FQueued.append(event);
    if (FWaiting && FWake) {
        FWaiting = false;
        FWake();
    }
    return true;
}

void THttpStream::Close() {
    std::lock_guard<std::mutex> lock(FMu);
    if (FClosed) return;
    FClosed = true;
    if (FWaiting && FWake) {
        FWaiting = false;
        FWake();
    }
}

void THttpStream::Detach() {
    std::lock_guard<std::mutex> lock(FMu);
    FDetached = true;
    FQueued.clear();
    FQueued.shrink_to_fit();
    FWake = nullptr;
}

bool THttpStream::Ended() const {
    std::lock_guard<std::mutex> lock(FMu);
    return FClosed || FDetached;
}

bool THttpStream::Detached() const {
    std::lock_guard<std::mutex> lock(FMu);
    return FDetached;
}

void THttpStream::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(FMu);
    FWake = std::move(wake);
}

std::string THttpStream::Take() {
    std::lock_guard<std::mutex> lock(FMu);
    std::string out;
    if (FLost > 0) {
        out = SseEvent("lost", std::to_string(FLost));
        FLost = 0;
    }
    if (out.empty()) {
        out.swap(FQueued);
    } else {
        out += FQueued;
        FQueued.clear();
    }
    FWaiting = out.empty() && !FClosed;
    return out;
}

bool THttpStream::Drained() const {
    std::lock_guard<std::mutex> lock(FMu);
    return FClosed && FQueued.empty() && FLost == 0;
}

uint64_t THttpStream::Dropped() const {
    std::lock_guard<std::mutex> lock(FMu);
    return FDropped;
}

std::string SseEvent(std::string_view name, std::string_view data) {
    std::string out;
    out.reserve(data.size() + name.size() + 16);
    if (!name.empty()) {
        out += "event: ";
        out += name;
        out += '\n';
    }
    for (;;) {
        const auto nl = data.find('\n');
        std::string_view line = data.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out += "data: ";
        out += line;
        out += '\n';
        if (nl == std::string_view::npos) break;
        data.remove_prefix(nl + 1);
    }
    out += '\n';
    return out;
}

}  // namespace telegate
