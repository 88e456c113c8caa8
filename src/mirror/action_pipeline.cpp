#include "mirror/action_pipeline.h"

#include <algorithm>

#include "platform/interrupt_cleanup.h"

namespace fts {
namespace {

// Moving this many bytes weighs as much as one more action: about what a
// local disk copies while it makes a file.
constexpr double kBytesPerAction = 256.0 * 1024;
// Lanes a worker looks through for a folder no other worker acts in.
constexpr std::size_t kLanesLookedAt = 64;

}  // namespace

ActionPipeline::ActionPipeline(WorkerCount workers, ConsoleLog& log)
    : log_(log),
      count_(workers),
      // Room to look ahead for other folders, a few folders' worth.
      window_(std::max<std::size_t>(static_cast<std::size_t>(workers.count) * 64, 256)),
      allowed_(static_cast<std::size_t>(workers.count)) {}

ActionPipeline::~ActionPipeline() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    workers.swap(workers_);
  }
  workToDo_.notify_all();
  for (std::thread& worker : workers)
    worker.join();
}

void ActionPipeline::BeginStep() {
  std::lock_guard<std::mutex> lock(mutex_);
  stepWorkers_ = 0;
  if (!count_.adaptive) return;
  WorkerTuner::Settings settings;
  settings.most = count_.count;
  tuner_.emplace(settings);
  allowed_ = static_cast<std::size_t>(tuner_->Workers());
}

void ActionPipeline::Submit(std::string line, std::function<Status()> action, OnDone onDone,
                            ActionPlace place) {
  if (count_.count <= 1 && !count_.adaptive) {
    Task task{std::move(line), std::move(action), std::move(onDone), {}, {}, {}, true, false};
    task.status = task.action();
    stepWorkers_ = 1;
    Log(task);
    return;
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t number = firstNumber_ + tasks_.size();
    const std::size_t folder = place.folder;
    tasks_.push_back({std::move(line),
                      std::move(action),
                      std::move(onDone),
                      std::move(place),
                      {},
                      {},
                      false,
                      false});
    if (lanes_.empty() || lanes_.back().folder != folder) lanes_.push_back({folder, {}});
    lanes_.back().tasks.push_back(number);
    ++unstarted_;
    // Not only when actions pile up: two long copies given one after the
    // other must not wait for each other.
    wake = idle_ > 0 && CanStart();
    StartWorkersAsNeeded();
  }
  if (wake) workToDo_.notify_one();
  LogDone();
  while (tasks_.size() >= window_) {
    // A quarter of the window done, then the front: one wake-up logs many.
    WaitUntilDone(firstNumber_ + window_ / 4);
    WaitUntilDone(firstNumber_);
    LogDone();
  }
}

bool ActionPipeline::StartWorkersAsNeeded() {
  // Workers start as the actions come, so that a run with few actions
  // starts few threads: one more whenever the waiting workers are fewer
  // than the actions not yet started.
  if (stopping_ || workers_.size() >= allowed_) return false;
  // Counting the workers starting, which are not idle yet.
  if (unstarted_ <= idle_ + starting_) return false;
  const int worker = static_cast<int>(workers_.size());
  ++starting_;
  workers_.emplace_back([this, worker] { Work(worker); });
  return true;
}

void ActionPipeline::Drain() {
  while (!tasks_.empty()) {
    WaitUntilDone(firstNumber_ + std::min(tasks_.size(), window_ / 4) - 1);
    WaitUntilDone(firstNumber_);
    LogDone();
  }
}

void ActionPipeline::WaitUntilDone(std::uint64_t number) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (number < firstNumber_ || number - firstNumber_ >= tasks_.size()) return;
  waitingFor_ = number;
  taskDone_.wait(lock, [&] { return At(number).done; });
  waitingFor_.reset();
}

int ActionPipeline::EndStep() {
  Drain();
  return stepWorkers_;
}

std::optional<std::size_t> ActionPipeline::PickLane() {
  std::optional<std::size_t> busy;
  const std::size_t looked = std::min(lanes_.size(), kLanesLookedAt);
  for (std::size_t lane = 0; lane < looked; ++lane) {
    const std::uint64_t first = lanes_[lane].tasks.front();
    if (At(first).place.inOrder && first != nextToStart_) continue;
    if (std::find(busyFolders_.begin(), busyFolders_.end(), lanes_[lane].folder) ==
        busyFolders_.end()) {
      return lane;
    }
    if (!busy) busy = lane;
  }
  // Every folder in sight has a worker: the earliest action goes next.
  return busy;
}

void ActionPipeline::Work(int worker) {
  SetInterruptCleanupWorker(worker);
  KeepInterruptsAway();
  std::unique_lock<std::mutex> lock(mutex_);
  --starting_;
  for (;;) {
    if (!CanStart()) {
      if (!holding_ && running_ < allowed_) starved_ = true;
      ++idle_;
      workToDo_.wait(lock, [&] { return stopping_ || CanStart(); });
      --idle_;
      // Once stopping, the actions given are still carried out.
      if (!CanStart()) return;
    }
    const std::size_t lane = *PickLane();
    const std::uint64_t number = lanes_[lane].tasks.front();
    lanes_[lane].tasks.pop_front();
    if (lanes_[lane].tasks.empty())
      lanes_.erase(lanes_.begin() + static_cast<std::ptrdiff_t>(lane));
    Task& task = At(number);
    task.started = true;
    --unstarted_;
    while (nextToStart_ < firstNumber_ + tasks_.size() && At(nextToStart_).started)
      ++nextToStart_;
    busyFolders_.push_back(task.place.folder);
    ++running_;
    lock.unlock();
    try {
      task.status = task.action();
    } catch (...) {
      task.error = std::current_exception();
    }
    lock.lock();
    Finish(task, number);
  }
}

void ActionPipeline::Finish(Task& task, std::uint64_t number) {
  --running_;
  busyFolders_.erase(std::find(busyFolders_.begin(), busyFolders_.end(), task.place.folder));
  task.done = true;
  if (tuner_) {
    const double weight =
        1 + (task.place.bytes ? static_cast<double>(*task.place.bytes) / kBytesPerAction : 0);
    if (!starved_) stepWorkers_ = static_cast<int>(allowed_);
    const std::size_t before = allowed_;
    if (tuner_->Finished(WorkerTuner::Clock::now(), weight, starved_)) {
      allowed_ = static_cast<std::size_t>(tuner_->Workers());
      if (allowed_ > before) {
        workToDo_.notify_all();
        // The giving thread may be waiting for the step's end.
        while (workers_.size() < allowed_ && StartWorkersAsNeeded())
          ;
      }
    }
    starved_ = false;
  }
  // The giving thread is woken only for what it waits for.
  if (waitingFor_ == number || (waitingForIdle_ && running_ == 0)) {
    taskDone_.notify_one();
  }
}

void ActionPipeline::LogDone() {
  done_.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!tasks_.empty() && tasks_.front().done) {
      done_.push_back(std::move(tasks_.front()));
      tasks_.pop_front();
      ++firstNumber_;
    }
    if (!done_.empty() && stepWorkers_ == 0) stepWorkers_ = static_cast<int>(allowed_);
  }
  for (Task& task : done_) {
    if (task.error) std::rethrow_exception(task.error);
    if (!task.status && task.status.IsNoSpace()) RunAlone(task);
    Log(task);
  }
}

void ActionPipeline::RunAlone(Task& task) {
  std::unique_lock<std::mutex> lock(mutex_);
  holding_ = true;
  waitingForIdle_ = true;
  taskDone_.wait(lock, [&] { return running_ == 0; });
  waitingForIdle_ = false;
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
