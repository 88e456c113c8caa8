// Carries out the actions of one step of the mirror on a pool of workers and
// logs them exactly as one action at a time would: each action's line in
// the order the actions were given, written once the action and all before
// it are done, each failure line right after its action's line. An action
// that met a full disk is tried again alone before it is logged: the writes
// of the others under way may have filled the disk, and one at a time it
// could have fitted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/status.h"
#include "run/console_log.h"

namespace fts {

class ActionPipeline {
 public:
  // Told of each action's outcome in the order of the log, on the thread
  // that gives the actions.
  using OnDone = std::function<void(const Status&)>;

  // Up to `jobs` workers, started as actions come; with one, each action
  // runs at once on the calling thread.
  ActionPipeline(int jobs, ConsoleLog& log);
  ~ActionPipeline();
  ActionPipeline(const ActionPipeline&) = delete;
  ActionPipeline& operator=(const ActionPipeline&) = delete;

  // Gives an action; `line` is its log line. Logs whatever is done, in
  // order, and waits while too many actions are under way.
  void Submit(std::string line, std::function<Status()> action, OnDone onDone);
  // Waits until every action given is done and logged: the end of a step.
  void Drain();

 private:
  struct Task {
    std::string line;
    std::function<Status()> action;
    OnDone onDone;
    Status status;
    std::exception_ptr error;
    bool done = false;
  };

  void Work(int worker);
  // Logs the done tasks at the front; with `wait`, first waits for the one
  // at the front.
  void LogDone(bool wait);
  void Log(Task& task);
  // Runs the task's action again once no other action is under way, and
  // holds the workers back meanwhile.
  void RunAlone(Task& task);

  ConsoleLog& log_;
  const int jobs_;
  const std::size_t window_;  // the most tasks given and not yet logged
  std::mutex mutex_;
  std::condition_variable workToDo_;
  std::condition_variable taskDone_;
  std::deque<Task> tasks_;       // in the order given; the front is logged next
  std::size_t nextToStart_ = 0;  // index into tasks_
  std::size_t running_ = 0;      // tasks under way on the workers
  std::size_t idle_ = 0;         // workers waiting for a task
  bool holding_ = false;         // no worker starts a task
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace fts
