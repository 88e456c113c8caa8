// Carries out the actions of one step of the mirror on a pool of workers and
// logs them exactly as one action at a time would: each action's line in
// the order the actions were given, written once the action and all before
// it are done, each failure line right after its action's line. An action
// that met a full disk is tried again alone before it is logged: the writes
// of the others under way may have filled the disk, and one at a time it
// could have fitted.
//
// Workers prefer actions in folders that no other worker is acting in: the
// kernel makes and deletes the entries of one folder one at a time. With an
// adaptive count, a WorkerTuner decides how many workers each step runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mirror/worker_tuner.h"
#include "platform/status.h"
#include "run/console_log.h"

namespace fts {

// How many actions run at a time: a fixed count, or a count each step finds
// for itself, up to `count`.
struct WorkerCount {
  int count = 1;
  bool adaptive = false;
};

// Where an action acts, so that workers spread over folders.
struct ActionPlace {
  std::size_t folder = 0;  // a hash of the folder whose entries it makes or deletes
  // It waits for an action given before it: it starts only once every
  // action before it has started, so that what it waits for is under way.
  bool inOrder = false;
  // Bytes the action moved, read once it is done; they weigh in the rate
  // that the adaptive count measures.
  std::shared_ptr<const std::uint64_t> bytes;
};

class ActionPipeline {
 public:
  // Told of each action's outcome in the order of the log, on the thread
  // that gives the actions.
  using OnDone = std::function<void(const Status&)>;

  // Workers start as actions come; with a fixed count of one, each action
  // runs at once on the calling thread.
  ActionPipeline(WorkerCount workers, ConsoleLog& log);
  ~ActionPipeline();
  ActionPipeline(const ActionPipeline&) = delete;
  ActionPipeline& operator=(const ActionPipeline&) = delete;

  // A step begins: an adaptive count starts its search again.
  void BeginStep();
  // Gives an action; `line` is its log line. Logs whatever is done, in
  // order, and waits while too many actions are under way.
  void Submit(std::string line, std::function<Status()> action, OnDone onDone,
              ActionPlace place = {});
  // Waits until every action given is done and logged.
  void Drain();
  // Drains, and returns how many workers the step ran on (the count it
  // settled on when adaptive), or 0 when it had no action.
  int EndStep();

 private:
  struct Task {
    std::string line;
    std::function<Status()> action;
    OnDone onDone;
    ActionPlace place;
    Status status;
    std::exception_ptr error;
    bool started = false;
    bool done = false;
  };
  // A run of tasks, in order, that act in one folder.
  struct Lane {
    std::size_t folder;
    std::deque<std::uint64_t> tasks;  // numbers of tasks not yet started
  };

  Task& At(std::uint64_t number) { return tasks_[number - firstNumber_]; }
  void Work(int worker);
  // The lane whose first task a worker should start next, if any.
  std::optional<std::size_t> PickLane();
  bool CanStart() { return !holding_ && running_ < allowed_ && PickLane().has_value(); }
  void Finish(Task& task, std::uint64_t number);
  // Starts one more worker where one is needed and allowed; with the
  // mutex held. True when it started one.
  bool StartWorkersAsNeeded();
  // Logs the done tasks at the front.
  void LogDone();
  // Waits until the task `number` is done, if it is still to be logged.
  void WaitUntilDone(std::uint64_t number);
  void Log(Task& task);
  // Runs the task's action again once no other action is under way, and
  // holds the workers back meanwhile.
  void RunAlone(Task& task);

  ConsoleLog& log_;
  const WorkerCount count_;
  const std::size_t window_;  // the most tasks given and not yet logged
  std::mutex mutex_;
  std::condition_variable workToDo_;
  std::condition_variable taskDone_;  // the giving thread waits on it
  std::deque<Task> tasks_;            // in the order given; the front is logged next
  std::uint64_t firstNumber_ = 0;     // the number of the front task
  std::uint64_t nextToStart_ = 0;     // every task before it has started
  std::deque<Lane> lanes_;
  std::vector<std::size_t> busyFolders_;  // of the tasks under way
  std::size_t unstarted_ = 0;             // tasks given and not yet started
  std::size_t running_ = 0;               // tasks under way on the workers
  std::size_t allowed_ = 1;               // the most tasks under way
  std::size_t idle_ = 0;                  // workers waiting for a task
  std::size_t starting_ = 0;              // workers started and not yet running
  bool holding_ = false;                  // no worker starts a task
  bool stopping_ = false;
  std::optional<std::uint64_t> waitingFor_;  // the task the giving thread waits for
  bool waitingForIdle_ = false;              // ... or that no task be under way
  std::optional<WorkerTuner> tuner_;
  bool starved_ = false;  // a worker found nothing to start since the last finish
  int stepWorkers_ = 0;
  std::vector<Task> done_;  // the tasks being logged, on the giving thread
  std::vector<std::thread> workers_;
};

}  // namespace fts
