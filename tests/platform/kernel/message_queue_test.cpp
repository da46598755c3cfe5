// Thread message queues: posting across threads, WM_QUIT, queue lifetime, peeking and filters.
// Each case uses fresh threads, so no queue outlives its test.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/message_queue.h"
#include "platform/kernel/synch.h"
#include "platform/kernel/thread.h"
#include "platform/system/last_error.h"

namespace {

constexpr DWORD kLongWait = 10'000;

// A thread that creates its queue, then runs the message loop until WM_QUIT, keeping what it
// received.
struct Loop {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<MSG> received;
  MSG quit{};
  BOOL lastResult = -2;

  ~Loop() { CloseHandle(ready); }

  static DWORD Run(LPVOID parameter) {
    auto* loop = static_cast<Loop*>(parameter);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
    SetEvent(loop->ready);
    while ((loop->lastResult = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      loop->received.push_back(msg);
    }
    loop->quit = msg;
    return static_cast<DWORD>(loop->received.size());
  }
};

TEST(MessageQueues, PostsFromManyThreadsArriveInOrderUntilQuit) {
  Loop loop;
  DWORD loopId = 0;
  const HANDLE thread = CreateThread(nullptr, 0, &Loop::Run, &loop, 0, &loopId);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(loop.ready, kLongWait), WAIT_OBJECT_0);

  constexpr int kProducers = 4;
  constexpr int kPerProducer = 250;
  const DWORD before = GetTickCount();
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        EXPECT_TRUE(PostThreadMessageW(loopId, WM_USER + p, static_cast<WPARAM>(i), -p));
      }
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(PostThreadMessageW(loopId, WM_QUIT, 7, 0));
  ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
  const DWORD after = GetTickCount();

  EXPECT_EQ(loop.lastResult, 0) << "GetMessageW returns 0 for WM_QUIT";
  EXPECT_EQ(loop.quit.message, WM_QUIT);
  EXPECT_EQ(loop.quit.wParam, 7u);
  ASSERT_EQ(loop.received.size(), static_cast<std::size_t>(kProducers * kPerProducer));
  int next[kProducers] = {};
  for (const MSG& msg : loop.received) {
    const int p = static_cast<int>(msg.message - WM_USER);
    ASSERT_TRUE(p >= 0 && p < kProducers);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(next[p]++)) << "one producer's messages reordered";
    EXPECT_EQ(msg.lParam, -p);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_LE(static_cast<DWORD>(msg.time - before), static_cast<DWORD>(after - before));
  }
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, static_cast<DWORD>(kProducers * kPerProducer));

  // The queue went with its thread.
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(loopId, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  CloseHandle(thread);
}

TEST(MessageQueues, QueueLifetimePeekFiltersAndQuitOrdering) {
  std::atomic<DWORD> id{0};
  std::thread([&id] {
    MSG msg{};
    const DWORD self = id = GetCurrentThreadId();
    EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 0, 0)) << "no queue before the first Get/Peek";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "empty queue";
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 5, 1, 0));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 2, 0));
    PostQuitMessage(3);

    // PM_NOREMOVE leaves the message; a filter skips over non-matching ones.
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 1, WM_USER + 1, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    // WM_QUIT passes every filter, but only once the posted messages are gone.
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 1, WM_USER + 1, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)), 0, 0), 1);
    EXPECT_EQ(msg.message, WM_USER + 5);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "quit delivered once";

    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    int window = 0;
    EXPECT_EQ(GetMessageW(&msg, &window, 0, 0), -1) << "no windows exist";
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_FALSE(TranslateMessage(&msg));
  }).join();
  // A thread not made by CreateThread loses its queue as well.
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

}  // namespace
