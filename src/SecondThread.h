// Work split between this thread and a second one: the one way the library
// runs something beside the calling thread.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

// Runs beside() on a second thread while here() runs on this one, and joins
// the second thread before it returns on every way out. stop() runs after
// here() has returned or thrown and before the join, so that beside() can
// be told to end early. An exception from here() is passed on after the
// join (beside()'s is then dropped); otherwise one from beside() is.
// Returns false, having run neither, when no second thread can be had.
template <class Here, class Beside, class Stop>
bool runBeside(Here&& here, Beside&& beside, Stop&& stop) {
    std::exception_ptr besideFailure;
    std::thread t;
    try {
        t = std::thread([&] {
            try {
                beside();
            } catch (...) {
                besideFailure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        here();
    } catch (...) {
        stop();
        t.join();
        throw;
    }
    stop();
    t.join();
    if (besideFailure) std::rethrow_exception(besideFailure);
    return true;
}

template <class Here, class Beside>
bool runBeside(Here&& here, Beside&& beside) {
    return runBeside(here, beside, [] {});
}
