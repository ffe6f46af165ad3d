// SPDX-License-Identifier: MIT
// The simulated CPU on its own: events, contexts under the baton, interrupts.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "box/box.h"
#include "machine/machine.h"
#include "platform/kp_time.h"
#include "platform/kp_wait.h"

using namespace sim;

TEST(EventQueue, RunsInTimeOrderAndFifoAtTheSameTime) {
    EventQueue q;
    std::string order;
    q.at(20, [&] { order += "c"; });
    q.at(10, [&] { order += "a"; });
    auto dropped = q.at(10, [&] { order += "x"; });
    q.at(10, [&] { order += "b"; });
    q.cancel(dropped);
    Nanos t;
    EventQueue::Callback fn;
    std::vector<Nanos> times;
    while (q.pop(t, fn)) {
        fn();
        times.push_back(t);
    }
    EXPECT_EQ(order, "abc");
    EXPECT_EQ(times, (std::vector<Nanos>{10, 10, 20}));
    EXPECT_TRUE(q.empty());
}

// Timers re-armed all the time at a handful of times: every pop must be the
// earliest (time, queueing order) still live, a stale id (ran, cancelled, or
// its slot reused since) must cancel nothing, and the slots must not grow.
TEST(EventQueue, KeepsItsOrderAndSizeUnderCancelAndReArmChurn) {
    EventQueue q;
    std::mt19937 rng(7);
    std::set<std::pair<Nanos, int>> live;  // (time, queueing order)
    std::vector<std::pair<EventQueue::Id, std::pair<Nanos, int>>> timers(8);
    std::vector<EventQueue::Id> stale;
    int ran = -1, order = 0;
    Nanos now = 0;
    for (int round = 0; round < 20000; ++round) {
        const size_t k = rng() % timers.size();
        auto& [id, key] = timers[k];
        const bool move = rng() % 2;  // rescheduled, or cancelled and queued anew
        live.erase(key);
        if (!move) {
            q.cancel(id);
            stale.push_back(id);
        }
        if (!stale.empty())
            q.cancel(stale[rng() % stale.size()]);
        key = {now + rng() % 3, order++};
        if (!move || !q.reschedule(id, key.first))
            id = q.at(key.first, [&ran, &timers, k] { ran = timers[k].second.second; });
        live.insert(key);
        if (rng() % 4 == 0) {
            ASSERT_EQ(q.next_time(), live.begin()->first);
            Nanos t;
            EventQueue::Callback fn;
            ASSERT_TRUE(q.pop(t, fn));
            fn();
            ASSERT_EQ(std::make_pair(t, ran), *live.begin());
            live.erase(live.begin());
            now = t;
        }
    }
    EXPECT_EQ(q.size(), live.size());
    EXPECT_LE(q.capacity(), timers.size());
}

TEST(Machine, SleepingContextsWakeInVirtualTimeOrder) {
    Machine m(100);
    std::vector<std::pair<std::string, Nanos>> woke;
    auto sleeper = [&](std::string name, Nanos d) {
        return m.spawn(name, [&m, &woke, name, d] {
            m.sleep(false, m.now() + d);
            woke.emplace_back(name, m.now());
            return 0;
        }, true);
    };
    Task* a = sleeper("a", 30_ms);
    Task* b = sleeper("b", 10_ms);
    ASSERT_TRUE(m.run_until_done(a));
    ASSERT_TRUE(m.run_until_done(b));
    ASSERT_EQ(woke.size(), 2u);
    EXPECT_EQ(woke[0], (std::pair<std::string, Nanos>{"b", 10_ms}));
    EXPECT_EQ(woke[1], (std::pair<std::string, Nanos>{"a", 30_ms}));
    EXPECT_EQ(m.now(), 30_ms);
}

TEST(Machine, DeadlockIsReportedInsteadOfHanging) {
    Machine m(100);
    Task* t = m.spawn("stuck", [&m] {
        m.sleep(true);  // nobody will ever wake it
        return 0;
    }, true);
    EXPECT_FALSE(m.run_until_done(t));
    EXPECT_TRUE(m.deadlocked());
}

int g_handled;
int count_handler(int, void* cookie) {
    ++g_handled;
    static_cast<Machine*>(cookie)->set_irq_line(5, false);
    return 1;
}

TEST(Machine, InterruptsWaitWhileDisabledAndRunAtTheNextPoint) {
    Machine m(100);
    g_handled = 0;
    ASSERT_EQ(m.request_irq(5, count_handler, &m, "test"), 0);
    EXPECT_EQ(m.request_irq(5, count_handler, &m, "again"), -16);
    Task* t = m.spawn("driver", [&m] {
        bool was = m.disable_irqs();
        m.events().at(m.now() + 5_us, [&m] { m.set_irq_line(5, true); });
        m.busy_wait(20_us);  // the line rises in here, with interrupts off
        int during = g_handled;
        m.restore_irqs(was);  // taken now
        return during * 10 + g_handled;
    }, true);
    ASSERT_TRUE(m.run_until_done(t));
    EXPECT_EQ(t->result, 1);  // 0 handled while off, 1 right after
    EXPECT_EQ(m.irqs_off_longest(), 20_us);

    // an idle CPU takes it at once
    m.events().at(m.now() + 1_ms, [&m] { m.set_irq_line(5, true); });
    m.run_for(2_ms);
    EXPECT_EQ(g_handled, 2);
}

TEST(Machine, AbortedContextsNeverRunAgain) {
    bool resumed = false;
    {
        Machine m(100);
        m.spawn("sleeper", [&] {
            m.sleep(false, m.now() + 1_s);
            resumed = true;
            return 0;
        }, true);
        m.run_for(10_ms);
        EXPECT_EQ(m.live_tasks().size(), 1u);
        m.abort_all();
        EXPECT_TRUE(m.live_tasks().empty());
        m.run_for(2_s);
    }
    EXPECT_FALSE(resumed);
}

// A context unwound in its sleep (the box goes away) takes its wait-queue
// entry, which lives on its stack, out of the queue.
TEST(Machine, AContextUnwoundInAWaitQueueLeavesNoEntryBehind) {
    kp_wait_queue_head q;
    Box box;
    Machine& m = box.machine();
    kp_init_waitqueue_head(&q);
    auto waiter = [&q] {
        kp_wait_entry w;
        kp_init_wait_entry(&w);
        kp_prepare_to_wait(&q, &w);
        kp_schedule_timeout(1000);
        kp_finish_wait(&q, &w);
        return 0;
    };
    Task* a = m.spawn("a", waiter, true);
    Task* b = m.spawn("b", waiter, true);
    m.run_for(10_ms);
    ASSERT_EQ(wait_queue_waiters(&q), 2u);
    m.abort_all();
    EXPECT_EQ(wait_queue_waiters(&q), 0u);
    m.release(a);
    m.release(b);
    // the queue still works for the next waiter
    Task* c = m.spawn("c", waiter, true);
    m.run_for(10_ms);
    EXPECT_EQ(wait_queue_waiters(&q), 1u);
    m.run_until_done(c);  // its time-out ends the wait
    m.release(c);
    EXPECT_EQ(wait_queue_waiters(&q), 0u);
}
