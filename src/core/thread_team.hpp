#pragma once
// Worker threads for the batch methods of ensembles, and the `n_threads` option that sizes them.
// A team runs one task on all its threads at once, the calling thread taking part as thread 0; it
// has no work queue, so a batch fans out once per block of rows, not once per row.
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quelb {

class ThreadTeam {
public:
    // Starts size - 1 workers (none for a size of 1).
    explicit ThreadTeam(std::size_t size);
    // Stops and joins the workers.
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;

    std::size_t size() const { return workers_.size() + 1; }

    // Calls task(t) for every t below size(), each on its own thread, and returns when all are
    // done. An exception thrown by a task is rethrown here once every task has ended (the one
    // of the lowest t when several throw).
    void run(const std::function<void(std::size_t)>& task);

private:
    void work(std::size_t t);
    void stop();  // ends and joins the workers

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::vector<std::exception_ptr> errors_;
    std::size_t generation_ = 0;  // counts run() calls: a worker starts once per generation
    std::size_t pending_ = 0;     // workers still running the current task
    bool stopping_ = false;
};

// An object's `n_threads` option with the team it uses. Not part of what the object learns: a copy
// takes the option and no team. The team is made at the first task that needs more than one thread,
// remade when the size changes, and joined when the object is freed. In a child process after
// fork() the parent's team is abandoned unjoined (its threads do not exist there) and a new one made.
class Threads {
public:
    Threads() = default;
    Threads(const Threads& other) : n_threads(other.n_threads) {}
    Threads& operator=(const Threads& other) {
        n_threads = other.n_threads;
        return *this;
    }
    ~Threads();

    // 0: one thread per core; otherwise the number of threads (values below 0 are refused by the
    // bindings and count as 1 here).
    int n_threads = 1;

    // How many threads share `units` independent pieces of work: min(n_threads, units), at least 1.
    std::size_t count(std::size_t units) const;

    // Calls task(t) for t below `size` (at most count() of the work), in parallel when size > 1.
    void run(std::size_t size, const std::function<void(std::size_t)>& task);

private:
    std::unique_ptr<ThreadTeam> team_;
    long owner_pid_ = 0;  // the process that made team_
};

}  // namespace quelb
