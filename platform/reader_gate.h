// A gate that keeps readers off data a writer swaps or overwrites in place.
// Any number of readers pass in at once and hold no lock while inside; a
// writer closes the gate, which stops new readers and waits until those
// inside have left, changes the data, and opens the gate again. Writers take
// their turns: a second Close waits for the first writer's Open.
#pragma once

#include <condition_variable>
#include <mutex>

class ReaderGate {
public:
    ReaderGate() = default;
    ReaderGate(const ReaderGate&) = delete;
    ReaderGate& operator=(const ReaderGate&) = delete;

    // Waits while the gate is closed, then counts the caller in.
    void Enter();
    void Leave();
    // Waits for the gate to be open, closes it and waits for the readers
    // inside to leave. A reader must not Close a gate it is inside.
    void Close();
    void Open();

    // Runs `change` with the gate closed.
    template <class Change>
    void WithReadersOut(Change&& change)
    {
        Close();
        struct Reopen {
            ReaderGate& gate;
            ~Reopen() { gate.Open(); }
        } reopen{*this};
        change();
    }

private:
    friend int ReaderGateWaiting(ReaderGate& gate);

    std::mutex lock_;
    std::condition_variable changed_;
    int readers_ = 0;
    int waiting_ = 0;  // threads blocked in Enter or Close
    bool closed_ = false;
};

// A reader inside the gate for as long as it lives.
class GatePass {
public:
    explicit GatePass(ReaderGate& gate) : gate_(gate) { gate_.Enter(); }
    ~GatePass() { gate_.Leave(); }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;

private:
    ReaderGate& gate_;
};
