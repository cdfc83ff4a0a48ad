#include "ui/tray/tray_clicks.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TrayClickContext At(uint64_t now, uint32_t mailMask = 0x2, uint32_t newMailMask = 0x8000) {
  TrayClickContext context;
  context.mailMask = mailMask;
  context.newMailMask = newMailMask;
  context.enabledMask = 0x2 | 0x8000 | 0x20000;
  context.soundConfigured = true;
  context.nowMilliseconds = now;
  context.doubleClickMilliseconds = 400;
  return context;
}

TEST(TrayClicks, WhatEachEventAsksFor) {
  struct Case {
    const char* name;
    TrayEvent event;
    uint32_t mailMask;
    bool soundConfigured;
    bool stopSound;
    uint32_t readerMask;
  };
  const Case cases[] = {
      {"left click opens the types with mail", TrayEvent::LeftButtonDown, 0x2, true, true, 0x2},
      {"without mail every enabled type", TrayEvent::LeftButtonDown, 0, true, false,
       0x2 | 0x8000 | 0x20000},
      {"no sound file, nothing to stop", TrayEvent::LeftButtonDown, 0x2, false, false, 0x2},
      {"double click event alone counts as a click", TrayEvent::LeftDoubleClick, 0x2, true, true,
       0x2},
      {"balloon click opens the types with new mail", TrayEvent::BalloonClick, 0, true, true,
       0x8000},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    TrayClickHandler handler;
    TrayClickContext context = At(1000, row.mailMask);
    context.soundConfigured = row.soundConfigured;
    const TrayClickAction action = handler.OnEvent(row.event, context);
    EXPECT_FALSE(action.showMenu);
    EXPECT_TRUE(action.openReaders);
    EXPECT_EQ(action.readerMask, row.readerMask);
    EXPECT_EQ(action.stopSound, row.stopSound);
    EXPECT_TRUE(action.checkSoon);
  }
}

TEST(TrayClicks, RightButtonShowsTheMenuAndDoesNotCountAsAClick) {
  TrayClickHandler handler;
  const TrayClickAction menu = handler.OnEvent(TrayEvent::RightButtonDown, At(1000));
  EXPECT_TRUE(menu.showMenu);
  EXPECT_FALSE(menu.openReaders);
  EXPECT_FALSE(menu.checkSoon);
  EXPECT_TRUE(handler.OnEvent(TrayEvent::LeftButtonDown, At(1001)).openReaders);
}

TEST(TrayClicks, ADoubleClickOpensTheReadersOnce) {
  TrayClickHandler handler;
  EXPECT_TRUE(handler.OnEvent(TrayEvent::LeftButtonDown, At(5000)).openReaders);
  // The press, the double-click message and the second press of one double click.
  EXPECT_FALSE(handler.OnEvent(TrayEvent::LeftDoubleClick, At(5150)).openReaders);
  EXPECT_FALSE(handler.OnEvent(TrayEvent::LeftButtonDown, At(5399)).openReaders);
  // Ignored clicks do not move the time the guard measures from.
  EXPECT_TRUE(handler.OnEvent(TrayEvent::LeftButtonDown, At(5400)).openReaders);
  EXPECT_FALSE(handler.OnEvent(TrayEvent::BalloonClick, At(5500)).openReaders);
}

TEST(TrayClicks, TheFirstClickIsAcceptedAtAnyTime) {
  // A steady clock may start near zero; the first click must still count.
  TrayClickHandler handler;
  EXPECT_TRUE(handler.OnEvent(TrayEvent::LeftButtonDown, At(3)).openReaders);
}

}  // namespace
}  // namespace tarvel
