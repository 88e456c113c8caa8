#include "mirror/action_pipeline.h"

#include "platform/interrupt_cleanup.h"

namespace fts {

ActionPipeline::ActionPipeline(int jobs, ConsoleLog& log)
    : log_(log), jobs_(jobs), window_(static_cast<std::size_t>(jobs) * 16) {}

ActionPipeline::~ActionPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  workToDo_.notify_all();
  for (std::thread& worker : workers_)
    worker.join();
}

void ActionPipeline::Submit(std::string line, std::function<Status()> action, OnDone onDone) {
  if (jobs_ <= 1) {
    Task task{std::move(line), std::move(action), std::move(onDone), {}, {}, false};
    task.status = task.action();
    Log(task);
    return;
  }
  bool startWorker = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back({std::move(line), std::move(action), std::move(onDone), {}, {}, false});
    // Workers start as the actions come, so that a run with few actions
    // starts few threads: one more whenever the waiting workers are fewer
    // than the actions not yet taken.
    startWorker =
        tasks_.size() - nextToStart_ > idle_ && workers_.size() < static_cast<std::size_t>(jobs_);
  }
  workToDo_.notify_one();
  if (startWorker) {
    const int worker = static_cast<int>(workers_.size());
    workers_.emplace_back([this, worker] { Work(worker); });
  }
  LogDone(false);
  while (tasks_.size() >= window_)
    LogDone(true);
}

void ActionPipeline::Drain() {
  while (jobs_ > 1 && !tasks_.empty())
    LogDone(true);
}

void ActionPipeline::Work(int worker) {
  SetInterruptCleanupWorker(worker);
  KeepInterruptsAway();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    workToDo_.wait(lock, [&] { return stopping_ || (!holding_ && nextToStart_ < tasks_.size()); });
    --idle_;
    if (nextToStart_ >= tasks_.size()) return;  // stopping, nothing left
    Task& task = tasks_[nextToStart_++];
    ++running_;
    lock.unlock();
    try {
      task.status = task.action();
    } catch (...) {
      task.error = std::current_exception();
    }
    lock.lock();
    --running_;
    task.done = true;
    taskDone_.notify_all();
  }
}

void ActionPipeline::LogDone(bool wait) {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait) taskDone_.wait(lock, [&] { return tasks_.front().done; });
    wait = false;
    if (tasks_.empty() || !tasks_.front().done) return;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    --nextToStart_;
    lock.unlock();
    if (task.error) std::rethrow_exception(task.error);
    if (!task.status && task.status.IsNoSpace()) RunAlone(task);
    Log(task);
  }
}

void ActionPipeline::RunAlone(Task& task) {
  std::unique_lock<std::mutex> lock(mutex_);
  holding_ = true;
  taskDone_.wait(lock, [&] { return running_ == 0; });
  lock.unlock();
  struct Release {
    ActionPipeline& pipeline;
    ~Release() {
      {
        std::lock_guard<std::mutex> relock(pipeline.mutex_);
        pipeline.holding_ = false;
      }
      pipeline.workToDo_.notify_all();
    }
  } release{*this};
  task.status = task.action();
}

void ActionPipeline::Log(Task& task) {
  log_.WriteLog(task.line);
  if (!task.status) log_.WriteLog("Action Failed    : " + task.status.Cause());
  if (task.onDone) task.onDone(task.status);
}

}  // namespace fts
