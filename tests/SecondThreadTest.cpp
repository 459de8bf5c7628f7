// runBeside: both sides run, the second thread is joined on every way out,
// and an exception from either side reaches the caller after the join; and
// the rounds written in order beside it.
#include <atomic>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "RoundsInOrder.h"
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

// writeRounds: the text comes out in round order whichever thread formatted
// a round; a round that cannot be read ends the text before it (false), one
// that throws passes its exception on with nothing written from it on.
TEST(RoundsInOrder, WritesInOrderAndStopsAtTheFailingRound) {
    enum Fault { None, NotRead, Throws };
    struct Case {
        bool twoLanes;
        std::size_t at;  // the failing round
        Fault fault;
        bool returns;
        std::size_t written;  // rounds written, in order; at most this many when it throws
    };
    const std::size_t kRounds = 9;
    const Case cases[] = {
        {true, 0, None, true, kRounds}, {false, 0, None, true, kRounds}, {true, 5, NotRead, false, 5},
        {true, 2, NotRead, false, 2},   {true, 0, NotRead, false, 0},    {false, 5, NotRead, false, 5},
        {true, 3, Throws, false, 3},    {true, 4, Throws, false, 4},     {true, 8, Throws, false, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.at) + (c.twoLanes ? " two lanes" : " one lane") + " fault " +
                     std::to_string(c.fault));
        std::string text;
        std::atomic<int> lane1Rounds{0};
        bool returned = false, threw = false;
        try {
            returned = writeRounds(
                kRounds, 8, c.twoLanes, [&](const char* t, std::size_t n) { text.append(t, n); },
                [&](int lane, std::size_t r, char* buf) -> std::size_t {
                    if (lane == 1) ++lane1Rounds;
                    if (r == c.at && c.fault == NotRead) return kRoundNotRead;
                    if (r == c.at && c.fault == Throws) throw std::runtime_error("round");
                    buf[0] = static_cast<char>('a' + r);
                    buf[1] = static_cast<char>('0' + lane);
                    return 2;
                });
        } catch (const std::runtime_error&) {
            threw = true;
        }
        EXPECT_EQ(threw, c.fault == Throws);
        EXPECT_EQ(returned, c.returns);
        ASSERT_EQ(text.size() % 2, 0u);
        if (c.fault == Throws) {
            EXPECT_LE(text.size(), 2 * c.written);
        } else {
            EXPECT_EQ(text.size(), 2 * c.written);
        }
        for (std::size_t i = 0; i < text.size() / 2; ++i) {
            EXPECT_EQ(text[2 * i], static_cast<char>('a' + i)) << "round " << i << " out of order";
            // With two lanes and a second core the worker formats the odd rounds.
            const bool worker = c.twoLanes && usableCores() >= 2 && i % 2 == 1;
            EXPECT_EQ(text[2 * i + 1], worker ? '1' : '0') << "round " << i;
        }
        if (!c.twoLanes) {
            EXPECT_EQ(lane1Rounds, 0);
        }
    }
}
