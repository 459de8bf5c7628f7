// Text made in rounds that may be formatted on two threads and is written
// in order: the one way the library formats a long text beside its writer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Platform.h"
#include "SecondThread.h"

// What a round's formatter returns when its input could not be read.
constexpr std::size_t kRoundNotRead = SIZE_MAX;

// Writes rounds 0..rounds-1 in order through out(text, n); fmt(lane, r,
// buf) formats round r into buf (bufSize bytes) and returns its length or
// kRoundNotRead, lane 0 on this thread and lane 1 on a worker that formats
// every other round (1, 3, 5, ...) while this thread formats the rest and
// writes them all, so the text is the same byte for byte whoever formatted
// which round. False when a round could not be read: nothing after it is
// written. Without a second lane, core or thread every round is formatted
// here. The worker runs beside this thread (runBeside): an exception on
// either side is passed on once the worker has ended, with nothing written
// after the round that threw.
template <class Put, class Fmt>
bool writeRounds(std::size_t rounds, std::size_t bufSize, bool twoLanes, Put&& out, Fmt&& fmt) {
    std::vector<char> mine(bufSize);
    const auto put = [&](const char* text, std::size_t n) {
        if (n == kRoundNotRead) return false;
        out(text, n);
        return true;
    };
    const auto allHere = [&] {
        for (std::size_t r = 0; r < rounds; ++r)
            if (!put(mine.data(), fmt(0, r, mine.data()))) return false;
        return true;
    };
    if (rounds < 2 || !twoLanes || usableCores() < 2) return allHere();
    // The worker's rounds (1, 3, 5, ...) go to two buffers in turn.
    struct Slot {
        std::vector<char> text;
        std::size_t n = 0;
        bool full = false;
    };
    Slot slots[2];
    slots[0].text.resize(bufSize);
    slots[1].text.resize(bufSize);
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool workerThrew = false;  // its round is marked full, its exception passed on after the join
    const auto worker = [&] {
        for (std::size_t r = 1, i = 0; r < rounds; r += 2, ++i) {
            Slot& slot = slots[i % 2];
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return !slot.full || stop; });
                if (stop) return;
            }
            std::size_t n = kRoundNotRead;
            try {
                n = fmt(1, r, slot.text.data());
            } catch (...) {
                {
                    std::lock_guard<std::mutex> lock(mu);
                    slot.full = workerThrew = true;
                }
                cv.notify_all();
                throw;
            }
            {
                std::lock_guard<std::mutex> lock(mu);
                slot.n = n;
                slot.full = true;
            }
            cv.notify_all();
        }
    };
    bool ok = true;
    const auto here = [&] {
        for (std::size_t r = 0; r < rounds && ok; ++r) {
            if (r % 2 == 0) {
                ok = put(mine.data(), fmt(0, r, mine.data()));
                continue;
            }
            Slot& slot = slots[(r / 2) % 2];
            std::size_t n;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return slot.full; });
                if (workerThrew) return;
                n = slot.n;
            }
            ok = put(slot.text.data(), n);
            {
                std::lock_guard<std::mutex> lock(mu);
                slot.full = false;
            }
            cv.notify_all();
        }
    };
    const auto halt = [&] {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        cv.notify_all();
    };
    if (!runBeside(here, worker, halt)) return allHere();  // no thread to be had
    return ok;
}
