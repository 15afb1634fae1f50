#include "window/input_forwarding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "window/virtual_keys.h"
#include "window_fixture.h"

namespace stv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr Modifiers kNone{};
constexpr Modifiers kCtrl{true, false};
constexpr Modifiers kCtrlAlt{true, true};

TEST(NormalisePointerTest, EndPixelsMapToTheEndsOfTheRangeAndNothingOutsideDoes) {
  const PictureRect wide{0, 0, 1001, 2};
  EXPECT_EQ(NormalisePointer(wide, 0, 0), (NormalisedPoint{0, 0}));
  EXPECT_EQ(NormalisePointer(wide, 500, 1), (NormalisedPoint{32767, 65535}));
  EXPECT_EQ(NormalisePointer(wide, 1000, 0)->x, 65535);
  const PictureRect rect{10, 40, 810, 760};
  EXPECT_EQ(NormalisePointer(rect, 809, 400), (NormalisedPoint{65535, 32813}));
  EXPECT_EQ(NormalisePointer({5, 5, 6, 6}, 5, 5), (NormalisedPoint{0, 0}));  // one pixel
  EXPECT_FALSE(NormalisePointer(rect, 810, 100));                            // right and bottom lie outside
  EXPECT_FALSE(NormalisePointer(rect, 100, 760));
  EXPECT_FALSE(NormalisePointer(rect, 9, 100));
  EXPECT_FALSE(NormalisePointer(rect, 100, 39));
  EXPECT_FALSE(NormalisePointer({}, 0, 0));  // before the first paint
  EXPECT_FALSE(NormalisePointer({0, 0, 1000, 0}, 0, 0));
}

using PointerTest = WindowFixture;

TEST_F(PointerTest, MarginClicksAreDroppedAndAReleaseOutsideToo) {
  state.pictureRect = {240, 0, 1040, 800};
  SendPointer(state, 100, 400, MouseButton::Left, true, 0, 0);  // on the margin
  SendPointer(state, 100, 400, MouseButton::Left, false, 0, 0);
  SendPointer(state, 240, 799, MouseButton::Right, true, 0, 0);
  SendPointer(state, 1040, 799, MouseButton::Right, false, 0, 0);  // released outside
  SendPointer(state, 640, 400, std::nullopt, false, WheelDeltaFromNotches(-1.0f), 0);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].btn, 1);
  EXPECT_TRUE(sent[0].down);
  EXPECT_EQ(sent[0].y, 65535);
  EXPECT_FALSE(sent[1].btn);       // wheels carry no button
  EXPECT_EQ(sent[1].wheel, -120);  // a notch is 120
  EXPECT_EQ(WheelDeltaFromNotches(-2.0f), -240);
  EXPECT_EQ(WheelDeltaFromNotches(0.25f), 30);
}

// Typing, the preset and grey hotkeys and the titles they give are checked end to end in
// tests/interactive; here are the cases it cannot easily reach.
TEST(KeyFilterTest, AlwaysForwardedKeysAndTheirNeighbours) {
  for (uint32_t key :
       {8u, 9u, 13u, 16u, 19u, 20u, 27u, 33u, 40u, 45u, 46u, 91u, 93u, 112u, 135u, 144u, 145u, 160u, 165u}) {
    EXPECT_TRUE(IsForwardedKey(key)) << key;
  }
  for (uint32_t key : {7u, 12u, 32u, 41u, 44u, 48u, 65u, 96u, 111u, 136u, 146u, 159u, 166u, 186u}) {
    EXPECT_FALSE(IsForwardedKey(key)) << key;
  }
  EXPECT_TRUE(ShouldForwardKey(vk::kLetterA, kCtrl));
  EXPECT_TRUE(ShouldForwardKey(vk::kLetterA, Modifiers{false, true}));
  EXPECT_TRUE(KeyTypesTab(vk::kTab, kNone));
  EXPECT_FALSE(KeyTypesTab(vk::kTab, kCtrl));
}

using KeyboardTest = WindowFixture;

TEST_F(KeyboardTest, CtrlLetterIsKeysWithoutItsControlCharacter) {
  HandleKeyDown(state, host, vk::kControl, kCtrl);
  HandleKeyDown(state, host, vk::kLetterA, kCtrl);
  HandleCharacter(state, 1);
  HandleKeyUp(state, vk::kLetterA, kCtrl);
  HandleKeyUp(state, vk::kControl, kNone);
  EXPECT_THAT(sent,
              ElementsAre(KeyMessage(17, true), KeyMessage(65, true), KeyMessage(65, false), KeyMessage(17, false)));
}

TEST_F(KeyboardTest, CtrlAltDeleteReplacesOnlyTheDeleteKeyDown) {
  HandleKeyDown(state, host, vk::kControl, kCtrl);
  HandleKeyDown(state, host, vk::kMenu, kCtrlAlt);
  HandleKeyDown(state, host, vk::kDelete, kCtrlAlt);
  HandleKeyUp(state, vk::kDelete, kCtrlAlt);
  HandleKeyUp(state, vk::kMenu, kCtrl);
  HandleKeyUp(state, vk::kControl, kNone);
  EXPECT_THAT(sent,
              ElementsAre(KeyMessage(17, true), KeyMessage(18, true), MakeControlMessage(ControlKind::SecureAttention),
                          KeyMessage(46, false), KeyMessage(18, false), KeyMessage(17, false)));
}

TEST_F(KeyboardTest, HotkeysNeedCtrlAndAltOnAKeyDown) {
  HandleKeyDown(state, host, vk::kLetterQ, kCtrl);
  HandleKeyUp(state, vk::kLetterQ, kCtrlAlt);
  HandleKeyDown(state, host, vk::kLetterA, kCtrlAlt);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(81, true), KeyMessage(81, false), KeyMessage(65, true)));
  EXPECT_EQ(state.preset, QualityPreset::High);
}

TEST_F(KeyboardTest, ViewOnlyDropsInputButKeepsHotkeys) {
  state.viewOnly = true;
  state.pictureRect = {0, 0, 100, 100};
  HandleKeyDown(state, host, vk::kControl, kCtrl);
  HandleTypedText(state, "a\t");
  SendPointer(state, 5, 5, MouseButton::Left, true, 0, 0);
  ReleaseModifiersOnFocusLoss(state);
  EXPECT_THAT(sent, IsEmpty());
  for (uint32_t key : {vk::kDelete, vk::kLetterC, vk::kLetterC, vk::kLetterR, vk::kLetterQ, vk::kLetterG}) {
    HandleKeyDown(state, host, key, kCtrlAlt);
  }
  ASSERT_THAT(Kinds(sent),
              ElementsAre(ControlKind::SecureAttention, ControlKind::CursorInStream, ControlKind::CursorInStream,
                          ControlKind::FullRepaint, ControlKind::QualityReport, ControlKind::QualityReport));
  EXPECT_TRUE(sent[1].show);  // the cursor flag starts off and toggles
  EXPECT_FALSE(sent[2].show);
  EXPECT_EQ(sent[4].preset, "Balanced");
  EXPECT_TRUE(sent[5].gray);
  EXPECT_EQ(host.titles.size(), 2u);
  EXPECT_TRUE(host.titles.back().ends_with(" - Balanced - grey - view only")) << host.titles.back();
}

TEST(TextConversionTest, BothDirectionsReplaceWhatCannotBeConverted) {
  EXPECT_EQ(Utf16UnitToUtf8(u'A'), "A");
  EXPECT_EQ(Utf16UnitToUtf8(0xE9), "\xC3\xA9");
  EXPECT_EQ(Utf16UnitToUtf8(0x20AC), "\xE2\x82\xAC");
  EXPECT_EQ(Utf16UnitToUtf8(0xD83D), "\xEF\xBF\xBD");  // a lone surrogate
  EXPECT_EQ(Utf16UnitToUtf8(0xDE00), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16UnitToUtf8(0xFFFF), "\xEF\xBF\xBF");
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80"), std::u16string({u'a', 0xE9, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf8ToUtf16("\xC3x"), u"\uFFFDx");                    // missing continuation
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80").size(), 4u);          // beyond U+10FFFF
}

using TypedTextTest = WindowFixture;

TEST_F(TypedTextTest, BeyondTheBasicPlaneIsTwoMessagesAndControlCharactersAreDropped) {
  HandleTypedText(state, "\xF0\x9F\x98\x80");
  for (char16_t unit = 0; unit < 32; ++unit) HandleCharacter(state, unit);
  HandleCharacter(state, 0x7F);
  EXPECT_THAT(sent, ElementsAre(TextMessage("\xEF\xBF\xBD"), TextMessage("\xEF\xBF\xBD"), TextMessage("\t"),
                                TextMessage("\x7F")));
}

TEST_F(TypedTextTest, FocusLossReleasesEveryModifierInOrder) {
  ReleaseModifiersOnFocusLoss(state);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(16, false), KeyMessage(17, false), KeyMessage(18, false),
                                KeyMessage(91, false), KeyMessage(92, false)));
}

}  // namespace
}  // namespace stv::testing
