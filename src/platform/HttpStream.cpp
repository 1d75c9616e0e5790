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

void THttpStream::SetRender(std::function<std::string(std::string_view queued)> render) {
    std::lock_guard<std::mutex> lock(FMu);
    FRender = std::move(render);
}

std::string THttpStream::Take() {
    std::string queued;
    std::string out;
    std::function<std::string(std::string_view)> render;
    {
        std::lock_guard<std::mutex> lock(FMu);
        if (FLost > 0) {
            out = SseEvent("lost", std::to_string(FLost));
            FLost = 0;
        }
        queued.swap(FQueued);
        FWaiting = out.empty() && queued.empty() && !FClosed;
        render = FRender;
    }
    // Rendered outside the lock: producers go on queueing meanwhile.
    if (render && !queued.empty()) {
        out += render(queued);
    } else if (out.empty()) {
        out.swap(queued);
    } else {
        out += queued;
    }
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
