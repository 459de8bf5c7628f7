// runBeside: both sides run, the second thread is joined on every way out,
// and an exception from either side reaches the caller after the join.
#include <atomic>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "SecondThread.h"

TEST(SecondThread, ExceptionsReachTheCallerAfterTheJoin) {
    struct Case {
        bool hereThrows, besideThrows;
        const char* expected;  // what reaches the caller; null: nothing
    };
    const Case cases[] = {
        {false, false, nullptr},
        {true, false, "here"},
        {false, true, "beside"},
        {true, true, "here"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.hereThrows ? "here throws" : "here returns") +
                     (c.besideThrows ? ", beside throws" : ", beside returns"));
        std::atomic<bool> besideEnded{false};
        std::string caught;
        try {
            const bool ran = runBeside(
                [&] {
                    if (c.hereThrows) throw std::runtime_error("here");
                },
                [&] {
                    besideEnded = true;
                    if (c.besideThrows) throw std::runtime_error("beside");
                });
            EXPECT_TRUE(ran);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        EXPECT_TRUE(besideEnded) << "returned before the second thread ended";
        EXPECT_EQ(caught, c.expected ? c.expected : "");
    }
}

TEST(SecondThread, StopLetsTheSecondSideEnd) {
    // beside() waits for stop(): had stop() come after the join, this would
    // never return; it also runs when here() throws.
    for (bool hereThrows : {false, true}) {
        std::atomic<bool> stopped{false};
        bool threw = false;
        try {
            runBeside(
                [&] {
                    if (hereThrows) throw std::runtime_error("here");
                },
                [&] {
                    while (!stopped) std::this_thread::yield();
                },
                [&] { stopped = true; });
        } catch (const std::runtime_error&) {
            threw = true;
        }
        EXPECT_EQ(threw, hereThrows);
        EXPECT_TRUE(stopped);
    }
}
