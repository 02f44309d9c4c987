// A desktop for the tray icon that tests script: a notification area whose
// answers can be set per request kind, a clock that only moves when a test (or a
// wait) moves it, and a window that records what was done to it.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tray/notification_area.h"
#include "tray/tray_icon.h"

namespace tw::test {

class FakeNotificationArea : public NotificationArea {
 public:
  struct Call {
    std::string kind;  // "add", "tip", "balloon", "delete"
    std::string tip;
    BalloonRequest balloon;
  };

  // Answers for the next requests of a kind, used up in order; once used up, a
  // request succeeds when the icon's presence allows it.
  std::map<std::string, std::deque<TrayResult>> scripted;
  bool balloons = true;
  bool present = false;  // the icon is in the area
  std::vector<Call> calls;

  TrayResult Add(const std::string& tip) override {
    calls.push_back({"add", tip, {}});
    TrayResult result = Answer("add", true);
    if (result.ok) present = true;
    return result;
  }
  TrayResult ModifyTip(const std::string& tip) override {
    calls.push_back({"tip", tip, {}});
    return Answer("tip", present);
  }
  TrayResult ShowBalloon(const BalloonRequest& balloon) override {
    calls.push_back({"balloon", {}, balloon});
    return Answer("balloon", present);
  }
  TrayResult Delete() override {
    calls.push_back({"delete", {}, {}});
    TrayResult result = Answer("delete", present);
    if (result.ok) present = false;
    return result;
  }
  bool AcceptsBalloons() override { return balloons; }

  int Count(const std::string& kind) const {
    int n = 0;
    for (const Call& call : calls) n += call.kind == kind;
    return n;
  }
  // The balloons that showed something (not the empty take-off requests).
  std::vector<BalloonRequest> Shown() const {
    std::vector<BalloonRequest> shown;
    for (const Call& call : calls) {
      if (call.kind == "balloon" && !(call.balloon.title.empty() && call.balloon.text.empty())) {
        shown.push_back(call.balloon);
      }
    }
    return shown;
  }

 private:
  TrayResult Answer(const std::string& kind, bool allowed) {
    auto& queue = scripted[kind];
    if (!queue.empty()) {
      TrayResult result = queue.front();
      queue.pop_front();
      return result;
    }
    return allowed ? TrayResult{true, kTrayErrorNone} : TrayResult{false, kTrayErrorRefused};
  }
};

class FakeTrayClock : public TrayClock {
 public:
  TTrayIcon* icon = nullptr;  // receives the timers
  int64_t now = 1'000'000;
  int waits = 0;
  std::map<int, int> running;  // timer id -> period
  int doubleClickMs = 400;

  int64_t NowMs() override { return now; }
  void Wait(int ms) override {
    ++waits;
    now += ms;
  }
  void StartTimer(int id, int ms) override { running[id] = ms; }
  void StopTimer(int id) override { running.erase(id); }
  int DoubleClickTimeMs() override { return doubleClickMs; }

  bool Running(int id) const { return running.count(id) != 0; }
  // Moves the time on by the timer's period and fires it, if it runs.
  void Fire(int id) {
    auto found = running.find(id);
    if (found == running.end()) return;
    now += found->second;
    if (icon) icon->TimerFired(id);
  }
};

class FakeTrayWindow : public TrayWindow {
 public:
  bool visible = true;
  bool minimized = false;
  std::vector<std::string> done;

  bool IsVisible() override { return visible; }
  bool IsMinimized() override { return minimized; }
  void Hide() override {
    visible = false;
    done.push_back("hide");
  }
  void MinimizeApplication() override {
    minimized = true;
    done.push_back("minimize");
  }
  void Restore() override {
    visible = true;
    minimized = false;
    done.push_back("restore");
  }
};

}  // namespace tw::test
