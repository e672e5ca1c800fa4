/*
 * The debug-output capture: a ring of completed lines per boot, one open line
 * per printing thread, the assertions and breaks, and delivery of completed
 * lines to the echo and the subscribers in the order they completed.
 */
#include <nt/debug.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "debug/kdp.h"
#include "ki.h"

namespace {

constexpr size_t kCapacity = 100000;

struct Capture {
  /* Guards everything below but the delivery members. Timed so a bug check
   * can give up on it. */
  std::timed_mutex Lock;
  std::condition_variable_any Changed;
  std::deque<std::string> Lines;
  uint64_t FirstNumber = 0; /* number of Lines.front() */
  uint64_t Next = 0;
  uint64_t Dropped = 0;
  std::unordered_map<std::thread::id, std::string> Open;
  std::vector<nt::debug::Assertion> Assertions;
  uint64_t Breaks = 0;
  std::deque<std::string> Undelivered;

  /* Held while delivering; recursive so a subscriber may print. Guards
   * Subscribers and NextId. */
  std::recursive_mutex DeliveryLock;
  std::vector<std::pair<int, nt::debug::Subscriber>> Subscribers;
  int NextId = 1;
  /* Echo on, or someone subscribed: completed lines must be delivered. */
  std::atomic<bool> Deliver{false};
  std::atomic<bool> EchoSet{false};
  bool EchoEnv = false;

  Capture() {
    const char *env = std::getenv("NERAVOX_DEBUG_ECHO");
    EchoEnv = env && env[0] == '1';
    Deliver = EchoEnv;
  }
};

Capture &State() {
  static Capture *c = new Capture; /* never destroyed: threads may print during exit */
  return *c;
}

bool EchoOn(Capture &c) { return c.EchoSet.load() || c.EchoEnv; }

void UpdateDeliver(Capture &c) {
  std::lock_guard<std::recursive_mutex> d(c.DeliveryLock);
  c.Deliver = EchoOn(c) || !c.Subscribers.empty();
}

/* Caller holds c.Lock. */
void Complete(Capture &c, std::string line) {
  if (c.Deliver.load(std::memory_order_relaxed)) c.Undelivered.push_back(line);
  c.Lines.push_back(std::move(line));
  ++c.Next;
  if (c.Lines.size() > kCapacity) {
    c.Lines.pop_front();
    ++c.FirstNumber;
    ++c.Dropped;
  }
}

void DeliverPending(Capture &c) {
  if (!c.Deliver.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::recursive_mutex> d(c.DeliveryLock);
  for (;;) {
    std::string line;
    {
      std::lock_guard<std::timed_mutex> g(c.Lock);
      if (c.Undelivered.empty()) return;
      line = std::move(c.Undelivered.front());
      c.Undelivered.pop_front();
    }
    if (EchoOn(c)) {
      std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(stderr);
    }
    auto subscribers = c.Subscribers;
    for (auto &s : subscribers) s.second(line);
  }
}

bool LineMatches(const std::string &line, std::string_view text) { return line.find(text) != std::string::npos; }

}  // namespace

void KdpAppend(std::string_view Text) {
  Capture &c = State();
  {
    std::lock_guard<std::timed_mutex> g(c.Lock);
    std::string *open = nullptr;
    auto id = std::this_thread::get_id();
    auto it = c.Open.find(id);
    if (it != c.Open.end()) open = &it->second;
    size_t start = 0;
    while (start < Text.size()) {
      size_t nl = Text.find('\n', start);
      if (nl == std::string_view::npos) {
        if (!open) open = &c.Open[id];
        open->append(Text.substr(start));
        break;
      }
      std::string line;
      if (open) {
        line = std::move(*open);
        c.Open.erase(id);
        open = nullptr;
      }
      line.append(Text.substr(start, nl - start));
      Complete(c, std::move(line));
      start = nl + 1;
    }
  }
  c.Changed.notify_all();
  DeliverPending(c);
}

std::vector<std::string> KdpLastLinesForReport(size_t Count) {
  Capture &c = State();
  std::vector<std::string> out;
  /* A bug check may come from a thread that already holds the capture (or
     from one that never lets it go): give up after a while rather than hang
     the report. try_lock in a loop rather than try_lock_for, whose
     clock-based lock ThreadSanitizer does not see. */
  std::unique_lock<std::timed_mutex> g(c.Lock, std::defer_lock);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!g.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return out;
    std::this_thread::yield();
  }
  size_t n = c.Lines.size() < Count ? c.Lines.size() : Count;
  out.assign(c.Lines.end() - (std::ptrdiff_t)n, c.Lines.end());
  auto it = c.Open.find(std::this_thread::get_id());
  if (it != c.Open.end() && !it->second.empty()) {
    if (out.size() == Count && !out.empty()) out.erase(out.begin());
    out.push_back(it->second);
  }
  return out;
}

void KdpRecordAssertion(const char *Expression, const char *File, unsigned long Line, const char *Message) {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  c.Assertions.push_back({Expression ? Expression : "", File ? File : "", Line, Message ? Message : ""});
}

void KdpRecordBreak() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  ++c.Breaks;
}

void KdpResetCapture() {
  Capture &c = State();
  {
    std::lock_guard<std::timed_mutex> g(c.Lock);
    c.Lines.clear();
    c.Open.clear();
    c.Undelivered.clear();
    c.Assertions.clear();
    c.FirstNumber = c.Next = c.Dropped = c.Breaks = 0;
  }
  c.Changed.notify_all();
}

void KdpCloseOpenLines() {
  Capture &c = State();
  {
    /* Open lines are complete now: nobody will finish them in this boot. */
    std::lock_guard<std::timed_mutex> g(c.Lock);
    for (auto &open : c.Open) Complete(c, std::move(open.second));
    c.Open.clear();
  }
  c.Changed.notify_all();
  DeliverPending(c);
}

namespace nt::debug {

std::vector<std::string> Lines() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  return std::vector<std::string>(c.Lines.begin(), c.Lines.end());
}

std::vector<std::string> LastLines(size_t Count) {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  size_t n = c.Lines.size() < Count ? c.Lines.size() : Count;
  return std::vector<std::string>(c.Lines.end() - (std::ptrdiff_t)n, c.Lines.end());
}

void Clear() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  c.Lines.clear();
  c.FirstNumber = c.Next;
  c.Open.clear();
  c.Assertions.clear();
  c.Breaks = 0;
}

size_t Capacity() { return kCapacity; }

uint64_t DroppedLines() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  return c.Dropped;
}

uint64_t NextLineNumber() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  return c.Next;
}

bool Contains(std::string_view Text, uint64_t From) {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  uint64_t first = From > c.FirstNumber ? From : c.FirstNumber;
  for (uint64_t n = first; n < c.Next; ++n)
    if (LineMatches(c.Lines[(size_t)(n - c.FirstNumber)], Text)) return true;
  return false;
}

bool WaitForLine(std::string_view Text, std::chrono::milliseconds Timeout, uint64_t From) {
  Capture &c = State();
  auto deadline = std::chrono::steady_clock::now() + Timeout;
  std::unique_lock<std::timed_mutex> g(c.Lock);
  uint64_t scanned = From;
  for (;;) {
    if (scanned < c.FirstNumber) scanned = c.FirstNumber;
    for (; scanned < c.Next; ++scanned)
      if (LineMatches(c.Lines[(size_t)(scanned - c.FirstNumber)], Text)) return true;
    for (auto &open : c.Open)
      if (LineMatches(open.second, Text)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    c.Changed.wait_until(g, deadline);
  }
}

std::vector<Assertion> Assertions() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  return c.Assertions;
}

uint64_t BreakCount() {
  Capture &c = State();
  std::lock_guard<std::timed_mutex> g(c.Lock);
  return c.Breaks;
}

int Subscribe(Subscriber Callback) {
  Capture &c = State();
  int id;
  {
    std::lock_guard<std::recursive_mutex> d(c.DeliveryLock);
    id = c.NextId++;
    c.Subscribers.emplace_back(id, std::move(Callback));
  }
  UpdateDeliver(c);
  return id;
}

void Unsubscribe(int Id) {
  Capture &c = State();
  {
    std::lock_guard<std::recursive_mutex> d(c.DeliveryLock);
    for (auto it = c.Subscribers.begin(); it != c.Subscribers.end(); ++it) {
      if (it->first == Id) {
        c.Subscribers.erase(it);
        break;
      }
    }
  }
  UpdateDeliver(c);
}

void SetEcho(bool Echo) {
  Capture &c = State();
  c.EchoSet = Echo;
  UpdateDeliver(c);
}

bool Echo() { return EchoOn(State()); }

}  // namespace nt::debug
