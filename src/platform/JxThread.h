#pragma once
// Threads. Library threads are either detached (the performance log) or
// owned and joined by the object that started them (network engine,
// transfer planners). An exception escaping a thread body is logged, never
// allowed to terminate the process.
#include <functional>
#include <string>
#include <thread>

class JxThread {
  public:
    using Body = std::function<void()>;

    JxThread() = default;
    ~JxThread();  // joins when still joinable
    JxThread(const JxThread&) = delete;
    JxThread& operator=(const JxThread&) = delete;

    // Starts body on a new thread named name (shown by the logger and ps).
    void start(const std::string& name, Body body);
    void join();
    bool joinable() const { return t_.joinable(); }

    // Starts a thread nobody joins. Throws JxException when it cannot start.
    static void createDetachedThread(const std::string& name, Body body);
    // Small numeric id of the calling thread (what the logger prints).
    static unsigned long currentId();
    // Gives the calling thread (only it: Linux keeps a nice value per
    // thread) this nice value, 0 to 19; work in the background yields the
    // processor to everything else. False when the system refused.
    static bool setNice(int nice);

  private:
    std::thread t_;
};

// Millisecond sleep.
void jxSleepMs(long ms);
