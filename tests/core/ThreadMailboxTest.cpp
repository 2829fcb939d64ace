#include "core/ThreadMailbox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

bool deliverUntil(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(ThreadMailboxTest, PostsFromManyThreadsRunOnTheOwnersThreadInEachPostersOrder)
{
    ThreadMailbox mailbox;
    constexpr int kThreads = 4;
    constexpr int kPosts = 500;
    // Plain containers: only the owner's thread touches them.
    std::map<int, std::vector<int>> received;
    std::vector<Qt::HANDLE> ranOn;
    std::vector<std::thread> posters;
    for (int poster = 0; poster < kThreads; ++poster) {
        posters.emplace_back([&, poster] {
            for (int index = 0; index < kPosts; ++index) {
                mailbox.post([&, poster, index] {
                    received[poster].push_back(index);
                    ranOn.push_back(QThread::currentThreadId());
                });
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(deliverUntil([&] { return ranOn.size() == kThreads * kPosts; })) << ranOn.size();
    for (int poster = 0; poster < kThreads; ++poster) {
        ASSERT_EQ(received[poster].size(), size_t(kPosts));
        for (int index = 0; index < kPosts; ++index) {
            EXPECT_EQ(received[poster][index], index);
        }
    }
    for (Qt::HANDLE thread : ranOn) {
        EXPECT_EQ(thread, QThread::currentThreadId());
    }
}

TEST(ThreadMailboxTest, ADestroyedMailboxDropsWhatItHeld)
{
    auto mailbox = std::make_unique<ThreadMailbox>();
    auto alive = std::make_shared<int>(0);
    bool ran = false;
    mailbox->post([&ran, alive] { ran = true; });
    EXPECT_EQ(alive.use_count(), 2);
    mailbox.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    // The function, and what it captured, went with the mailbox.
    EXPECT_EQ(alive.use_count(), 1);
}

TEST(ThreadMailboxTest, EachThreadHasItsOwnCurrentMailbox)
{
    ThreadMailbox* mine = ThreadMailbox::current();
    EXPECT_EQ(ThreadMailbox::current(), mine);
    EXPECT_EQ(mine->thread(), QThread::currentThread());
    ThreadMailbox* theirs = nullptr;
    std::thread([&theirs] { theirs = ThreadMailbox::current(); }).join();
    EXPECT_NE(theirs, mine);

    // A function posting again is delivered in a later round.
    std::vector<int> order;
    mine->post([&] {
        order.push_back(1);
        mine->post([&] { order.push_back(3); });
    });
    mine->post([&] { order.push_back(2); });
    ASSERT_TRUE(deliverUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int> { 1, 2, 3 }));
}

} // namespace
