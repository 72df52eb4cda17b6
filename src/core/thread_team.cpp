#include "core/thread_team.hpp"

#include <algorithm>

#include <unistd.h>

namespace quelb {

ThreadTeam::ThreadTeam(std::size_t size) : errors_(std::max<std::size_t>(size, 1)) {
    workers_.reserve(errors_.size() - 1);
    try {
        for (std::size_t t = 1; t < errors_.size(); ++t) workers_.emplace_back([this, t] { work(t); });
    } catch (...) {
        stop();  // the workers already started, before the failure is passed on
        throw;
    }
}

ThreadTeam::~ThreadTeam() { stop(); }

void ThreadTeam::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void ThreadTeam::work(std::size_t t) {
    std::size_t seen = 0;
    for (;;) {
        const std::function<void(std::size_t)>* task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            task = task_;
        }
        std::exception_ptr error;
        try {
            (*task)(t);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        errors_[t] = error;
        if (--pending_ == 0) done_.notify_one();
    }
}

void ThreadTeam::run(const std::function<void(std::size_t)>& task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        std::fill(errors_.begin(), errors_.end(), nullptr);
        pending_ = workers_.size();
        ++generation_;
    }
    start_.notify_all();
    try {
        task(0);
    } catch (...) {
        errors_[0] = std::current_exception();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return pending_ == 0; });
    for (const std::exception_ptr& error : errors_) {
        if (error) std::rethrow_exception(error);
    }
}

Threads::~Threads() {
    // The workers of a team made before fork() live only in the parent: joining them here would
    // wait forever.
    if (team_ && owner_pid_ != static_cast<long>(getpid())) (void)team_.release();
}

std::size_t Threads::count(std::size_t units) const {
    std::size_t wanted = n_threads > 0 ? static_cast<std::size_t>(n_threads) : 1;
    if (n_threads == 0) wanted = std::max(1u, std::thread::hardware_concurrency());
    return std::max<std::size_t>(std::min(wanted, units), 1);
}

void Threads::run(std::size_t size, const std::function<void(std::size_t)>& task) {
    if (size <= 1) {
        task(0);
        return;
    }
    const long pid = static_cast<long>(getpid());
    if (team_ && owner_pid_ != pid) (void)team_.release();
    if (!team_ || team_->size() != size) {
        team_.reset();
        team_ = std::make_unique<ThreadTeam>(size);
        owner_pid_ = pid;
    }
    team_->run(task);
}

}  // namespace quelb
