// The tray icon component against a scripted desktop: the retry rule, the lazy
// tooltip, balloons and their removal, the mouse table, shell restarts, log-off
// and destruction.
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "tests/support/fake_tray.h"

namespace tw {
namespace {

using test::FakeNotificationArea;
using test::FakeTrayClock;
using test::FakeTrayWindow;

constexpr TrayResult kBusy{false, kTrayErrorTimeout};
constexpr TrayResult kRefused{false, kTrayErrorRefused};
constexpr TrayResult kDone{true, kTrayErrorNone};

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

struct Event {
  std::string name;
  TMouseButton button;
  TShiftState shift;
  int x;
  int y;
};

class TrayIconTest : public ::testing::Test {
 protected:
  // Creates the icon; the area's scripted answers apply to its first add.
  TTrayIcon& Make() {
    icon.emplace(area, clock, window);
    clock.icon = &*icon;
    auto record = [this](const char* name) {
      return [this, name](TTrayIcon&, TMouseButton b, TShiftState s, int x, int y) {
        events.push_back({name, b, s, x, y});
      };
    };
    icon->OnClick = record("click");
    icon->OnDblClick = record("dblclick");
    icon->OnMouseUp = record("up");
    area.calls.clear();
    return *icon;
  }
  void Click(int down, int up, TrayPointer at = {}) {
    icon->Callback(down, at);
    icon->Callback(up, at);
  }

  FakeNotificationArea area;
  FakeTrayClock clock;
  FakeTrayWindow window;
  std::optional<TTrayIcon> icon;
  std::vector<Event> events;
};

TEST_F(TrayIconTest, RetryRuleWaitsOnlyForABusyDesktop) {
  {
    SCOPED_TRACE("busy twice, then added");
    area.scripted["add"] = {kBusy, kBusy};
    EXPECT_TRUE(Make().IconVisible());
    EXPECT_EQ(clock.waits, 2);
  }
  {
    SCOPED_TRACE("error 0 is retried like a time-out");
    area = {};
    clock.waits = 0;
    area.scripted["add"] = {{false, kTrayErrorNone}};
    EXPECT_TRUE(Make().IconVisible());
    EXPECT_EQ(clock.waits, 1);
  }
  {
    SCOPED_TRACE("refused: no wait, no icon");
    area = {};
    clock.waits = 0;
    area.scripted["add"] = {kRefused};
    EXPECT_FALSE(Make().IconVisible());
    EXPECT_EQ(clock.waits, 0);
  }
  {
    SCOPED_TRACE("busy for good: 31 waits, 32 adds, then given up");
    area = {};
    clock.waits = 0;
    area.scripted["add"] = std::deque<TrayResult>(40, kBusy);
    // The probing tip requests fail while the icon is absent.
    EXPECT_FALSE(Make().IconVisible());
    EXPECT_EQ(clock.waits, 31);
    EXPECT_EQ(40 - static_cast<int>(area.scripted["add"].size()), 32);
    // Without an icon nothing else is sent.
    icon->SetHint("Song");
    icon->Callback(tray_code::kMouseMove);
    icon->BalloonHint("Tunewell", "Song", TBalloonType::btNone, 5000, false);
    EXPECT_TRUE(area.calls.empty());
    EXPECT_EQ(icon->BalloonCount(), 0);
  }
  {
    SCOPED_TRACE("an add carried out while the desktop seemed busy counts as done");
    area = {};
    clock.waits = 0;
    area.scripted["add"] = {kBusy};
    area.scripted["tip"] = {kDone};
    EXPECT_TRUE(Make().IconVisible());
    EXPECT_EQ(clock.waits, 1);
  }
  {
    SCOPED_TRACE("a delete whose icon is gone although the desktop seemed busy is done");
    area.scripted["delete"] = {kBusy};
    area.scripted["tip"] = {kRefused};
    icon->EndSession(true);
    EXPECT_FALSE(icon->IconVisible());
    EXPECT_EQ(area.Count("delete"), 1);
  }
}

TEST_F(TrayIconTest, TooltipIsMadeLazilyOncePerChange) {
  Make();
  icon->SetHint("Artist | Song");
  EXPECT_EQ(area.Count("tip"), 0);
  icon->Callback(tray_code::kMouseMove);
  icon->Callback(tray_code::kMouseMove);
  icon->SetHint("Artist | Song");
  icon->Callback(tray_code::kMouseMove);
  ASSERT_EQ(area.Count("tip"), 1);
  EXPECT_EQ(area.calls[0].tip, "Artist ");

  // At most 127 characters, counted as characters, not bytes.
  icon->SetHint(Repeat("\xC3\xA9", 300));
  icon->Callback(tray_code::kMouseMove);
  EXPECT_EQ(area.calls.back().tip, Repeat("\xC3\xA9", 127));
  // Changes are compared with case.
  icon->SetHint(Repeat("\xC3\x89", 300));
  icon->Callback(tray_code::kMouseMove);
  EXPECT_EQ(area.Count("tip"), 3);
}

TEST_F(TrayIconTest, DesktopWithoutBalloonsGetsOneShortLine) {
  area.balloons = false;
  Make();
  icon->SetHint("One\r\nTwo" + std::string(100, 'x'));
  icon->Callback(tray_code::kMouseMove);
  ASSERT_EQ(area.Count("tip"), 1);
  EXPECT_EQ(area.calls[0].tip, ("One - Two" + std::string(100, 'x')).substr(0, 63));
  icon->BalloonHint("Tunewell", "Song", TBalloonType::btNone, 5000, false);
  EXPECT_EQ(area.Count("balloon"), 0);
}

TEST_F(TrayIconTest, BalloonIsCutCountedAndTakenOffByTimer2) {
  Make();
  icon->BalloonHint(std::string(70, 't'), "A | " + std::string(300, 'v'), TBalloonType::btNone,
                    5000, false);
  ASSERT_EQ(area.Shown().size(), 1u);
  EXPECT_EQ(area.Shown()[0].title, std::string(63, 't'));
  EXPECT_EQ(area.Shown()[0].text, ("A | " + std::string(300, 'v')).substr(0, 255));
  EXPECT_EQ(area.Shown()[0].timeoutMs, 5000);
  EXPECT_EQ(icon->BalloonCount(), 1);
  ASSERT_TRUE(clock.Running(TTrayIcon::kBalloonTimer));
  EXPECT_EQ(clock.running[TTrayIcon::kBalloonTimer], 5000);

  area.calls.clear();
  clock.Fire(TTrayIcon::kBalloonTimer);
  // One counted balloon: two empty requests.
  EXPECT_EQ(area.Count("balloon"), 2);
  EXPECT_TRUE(area.Shown().empty());
  EXPECT_EQ(icon->BalloonCount(), 0);
  EXPECT_FALSE(clock.Running(TTrayIcon::kBalloonTimer));

  // A long balloon is left to the desktop; two of them need three empty requests.
  icon->BalloonHint("T", "one", TBalloonType::btNone, 10000, false);
  icon->BalloonHint("T", "two", TBalloonType::btNone, 10000, false);
  EXPECT_FALSE(clock.Running(TTrayIcon::kBalloonTimer));
  area.calls.clear();
  icon->HideBalloon();
  EXPECT_EQ(area.Count("balloon"), 3);
  EXPECT_EQ(icon->BalloonCount(), 0);
}

TEST_F(TrayIconTest, BalloonRemovalByTheDesktopsCallbacks) {
  Make();
  auto balloon = [&] {
    icon->BalloonHint("Tunewell", "Song", TBalloonType::btNone, 5000, false);
    area.calls.clear();
  };
  balloon();
  // A time-out reported for an earlier balloon, before this one had its time.
  clock.now += 5500;
  icon->Callback(tray_code::kBalloonTimeout);
  EXPECT_EQ(area.Count("balloon"), 0);
  clock.now += 500;
  icon->Callback(tray_code::kBalloonTimeout);
  EXPECT_EQ(area.Count("balloon"), 2);

  balloon();
  icon->Callback(tray_code::kBalloonHide);
  EXPECT_EQ(area.Count("balloon"), 0);
  EXPECT_EQ(icon->BalloonCount(), 1);

  // A click on the balloon takes it off and leaves the window alone.
  icon->Callback(tray_code::kBalloonUserClick);
  EXPECT_EQ(area.Count("balloon"), 2);
  EXPECT_EQ(icon->BalloonCount(), 0);
  EXPECT_TRUE(window.done.empty());
  EXPECT_TRUE(events.empty());

  // A refused balloon is not counted.
  area.scripted["balloon"] = {kRefused};
  icon->BalloonHint("Tunewell", "Song", TBalloonType::btNone, 5000, false);
  EXPECT_EQ(icon->BalloonCount(), 0);
}

TEST_F(TrayIconTest, MouseTable) {
  Make();
  {
    SCOPED_TRACE("left click: released after the double-click time with what was kept");
    Click(tray_code::kLButtonDown, tray_code::kLButtonUp, {12, 34, ssShift});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "up");
    ASSERT_TRUE(clock.Running(TTrayIcon::kClickTimer));
    EXPECT_EQ(clock.running[TTrayIcon::kClickTimer], 400);
    clock.Fire(TTrayIcon::kClickTimer);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].name, "click");
    EXPECT_EQ(events[1].button, TMouseButton::mbLeft);
    EXPECT_EQ(events[1].shift, TShiftState{ssShift});
    EXPECT_EQ(events[1].x, 12);
    EXPECT_EQ(events[1].y, 34);
    EXPECT_FALSE(clock.Running(TTrayIcon::kClickTimer));
  }
  for (auto [down, up, button] :
       {std::tuple{tray_code::kRButtonDown, tray_code::kRButtonUp, TMouseButton::mbRight},
        std::tuple{tray_code::kMButtonDown, tray_code::kMButtonUp, TMouseButton::mbMiddle}}) {
    SCOPED_TRACE("right and middle click");
    events.clear();
    Click(down, up);
    clock.Fire(TTrayIcon::kClickTimer);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].name, "click");
    EXPECT_EQ(events[1].button, button);
  }
  {
    SCOPED_TRACE("double-click: one double-click event, no single click");
    events.clear();
    Click(tray_code::kLButtonDown, tray_code::kLButtonUp);
    icon->Callback(tray_code::kLButtonDblClk);
    icon->Callback(tray_code::kLButtonUp);
    EXPECT_FALSE(clock.Running(TTrayIcon::kClickTimer));
    clock.Fire(TTrayIcon::kClickTimer);
    icon->TimerFired(TTrayIcon::kClickTimer);  // a late tick of a stopped timer
    std::vector<std::string> names;
    for (const Event& e : events) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"up", "dblclick", "up"}));
  }
  {
    SCOPED_TRACE("a release without a press, the menu key and unknown codes");
    events.clear();
    icon->Callback(tray_code::kRButtonUp);
    EXPECT_FALSE(clock.Running(TTrayIcon::kClickTimer));
    icon->Callback(tray_code::kContextMenu);
    icon->Callback(tray_code::kKeySelect);
    icon->Callback(0x12345);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "up");
    EXPECT_TRUE(area.calls.empty());
    EXPECT_TRUE(window.done.empty());
  }
}

TEST_F(TrayIconTest, ShellRestartAndLogOff) {
  Make();
  icon->SetHint("Song");
  icon->Callback(tray_code::kMouseMove);
  area.calls.clear();

  icon->TaskbarCreated();
  ASSERT_EQ(area.calls.size(), 2u);
  EXPECT_EQ(area.calls[0].kind, "delete");
  EXPECT_EQ(area.calls[1].kind, "add");
  EXPECT_EQ(area.calls[1].tip, "Song");
  EXPECT_TRUE(icon->IconVisible());

  // The removal fails: the icon counts as still there and is not added twice.
  area.calls.clear();
  area.scripted["delete"] = {kRefused};
  icon->TaskbarCreated();
  EXPECT_EQ(area.Count("add"), 0);
  EXPECT_TRUE(icon->IconVisible());

  // The host went away with the icon; the next host gets it again.
  icon->TaskbarGone();
  area.present = false;
  icon->BalloonHint("Tunewell", "Song", TBalloonType::btNone, 5000, false);
  EXPECT_EQ(area.Count("balloon"), 0);
  icon->TaskbarCreated();
  EXPECT_TRUE(icon->IconVisible());

  area.calls.clear();
  icon->EndSession(true);
  EXPECT_FALSE(icon->IconVisible());
  icon->EndSession(false);
  EXPECT_TRUE(icon->IconVisible());
  ASSERT_EQ(area.calls.size(), 2u);
  EXPECT_EQ(area.calls[1].kind, "add");
}

TEST_F(TrayIconTest, MinimiseHidesIntoTheTrayAndDestructionCleansUp) {
  Make();
  icon->MinimizeCommand();
  EXPECT_EQ(window.done, (std::vector<std::string>{"hide", "minimize", "hide"}));
  window.done.clear();
  icon->MinimizeCommand();  // already in the tray
  EXPECT_EQ(window.done, (std::vector<std::string>{"hide"}));

  icon->BalloonHint("Tunewell", "Song", TBalloonType::btNone, 5000, false);
  Click(tray_code::kLButtonDown, tray_code::kLButtonUp);
  area.calls.clear();
  icon.reset();
  EXPECT_FALSE(clock.Running(TTrayIcon::kBalloonTimer));
  EXPECT_FALSE(clock.Running(TTrayIcon::kClickTimer));
  EXPECT_EQ(area.Count("delete"), 1);
  EXPECT_FALSE(area.present);
}

}  // namespace
}  // namespace tw
