#include "support/LinePrinter.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace telegate {

// Shared by the printer and its thread: a thread left behind at destruction keeps
// it alive until it ends.
struct TLinePrinter::TState {
    TWrite write;
    size_t maxQueued = 0;
    std::mutex mu;
    std::condition_variable wake;  // work for the thread, or stop
    std::condition_variable done;  // the thread has ended
    std::deque<std::string> queue;
    uint64_t dropped = 0;
    uint64_t droppedShown = 0;  // drops already told in the output
    bool alive = true;          // the output has not failed
    bool stop = false;
    bool ended = false;

    void Run() {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            wake.wait(lock, [this] { return stop || !queue.empty(); });
            if (queue.empty() || !alive) break;  // stopping, or nothing can be written
            std::string chunk;
            if (dropped != droppedShown) {
                chunk = "*** " + std::to_string(dropped - droppedShown) + " lines dropped\n";
                droppedShown = dropped;
            }
            const size_t taken = queue.size();
            while (!queue.empty()) {
                chunk += queue.front();
                chunk += '\n';
                queue.pop_front();
            }
            lock.unlock();
            const bool ok = write(chunk);
            lock.lock();
            if (!ok) {
                alive = false;
                dropped += taken + queue.size();
                queue.clear();
            }
        }
        ended = true;
        done.notify_all();
    }
};

TLinePrinter::TLinePrinter(TWrite write, size_t maxQueued) : st_(std::make_shared<TState>()) {
    st_->write = std::move(write);
    st_->maxQueued = maxQueued > 0 ? maxQueued : 1;
    try {
        std::thread([st = st_] { st->Run(); }).detach();
    } catch (const std::system_error&) {
        // No thread: nothing is printed, everything is counted as dropped.
        st_->alive = false;
        st_->ended = true;
    }
}

TLinePrinter::~TLinePrinter() {
    std::unique_lock<std::mutex> lock(st_->mu);
    st_->stop = true;
    st_->wake.notify_all();
    // The thread ends once the queue is written. A stuck output is left behind with
    // the write it is in; nothing more is written to it.
    if (!st_->done.wait_for(lock, std::chrono::milliseconds(closeWaitMs),
                            [this] { return st_->ended; })) {
        st_->dropped += st_->queue.size();
        st_->queue.clear();
        st_->alive = false;
    }
}

void TLinePrinter::Print(std::string line) noexcept {
    try {
        for (char& c : line)
            if (c == '\n' || c == '\r') c = ' ';
        std::lock_guard<std::mutex> lock(st_->mu);
        if (!st_->alive || st_->stop || st_->queue.size() >= st_->maxQueued) {
            ++st_->dropped;
            return;
        }
        st_->queue.push_back(std::move(line));
        st_->wake.notify_one();
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
}

uint64_t TLinePrinter::Dropped() const {
    std::lock_guard<std::mutex> lock(st_->mu);
    return st_->dropped;
}

bool TLinePrinter::OutputAlive() const {
    std::lock_guard<std::mutex> lock(st_->mu);
    return st_->alive;
}

std::string FormatJournalLine(TDateTime dt, std::string_view text) {
    std::string line = FormatDateTime(dt).substr(0, 10);
    line += ' ';
    line += FormatTimeMs(dt);
    line += ' ';
    line += text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

}  // namespace telegate
