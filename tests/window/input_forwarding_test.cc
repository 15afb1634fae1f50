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
constexpr Modifiers kAlt{false, true};
constexpr Modifiers kCtrlAlt{true, true};

TEST(NormalisePointerTest, MapsFirstAndLastPixelToTheEndsOfTheRange) {
  const PictureRect wide{0, 0, 1001, 10};
  EXPECT_EQ(NormalisePointer(wide, 0, 0), (NormalisedPoint{0, 0}));
  EXPECT_EQ(NormalisePointer(wide, 500, 0)->x, 32767);
  EXPECT_EQ(NormalisePointer(wide, 1000, 9), (NormalisedPoint{65535, 65535}));

  const PictureRect offset{10, 40, 810, 760};
  EXPECT_EQ(NormalisePointer(offset, 10, 40), (NormalisedPoint{0, 0}));
  EXPECT_EQ(NormalisePointer(offset, 809, 759), (NormalisedPoint{65535, 65535}));
  EXPECT_EQ(NormalisePointer(offset, 410, 400), (NormalisedPoint{32808, 32813}));
}

TEST(NormalisePointerTest, OnePixelPictureMapsToZero) {
  EXPECT_EQ(NormalisePointer({5, 5, 6, 6}, 5, 5), (NormalisedPoint{0, 0}));
}

TEST(NormalisePointerTest, NothingOutsideTheRectangleOrWithoutOne) {
  const PictureRect rect{10, 40, 810, 760};
  EXPECT_FALSE(NormalisePointer(rect, 810, 100));  // right edge is outside
  EXPECT_FALSE(NormalisePointer(rect, 9, 100));
  EXPECT_FALSE(NormalisePointer(rect, 100, 39));
  EXPECT_FALSE(NormalisePointer(rect, 100, 760));
  EXPECT_FALSE(NormalisePointer({}, 0, 0));  // before the first paint
  EXPECT_FALSE(NormalisePointer({0, 0, 1000, 0}, 0, 0));
  EXPECT_FALSE(NormalisePointer({0, 0, 0, 1000}, 0, 0));
}

TEST(WheelDeltaTest, OneNotchIs120WithItsSign) {
  EXPECT_EQ(WheelDeltaFromNotches(1.0f), 120);
  EXPECT_EQ(WheelDeltaFromNotches(-1.0f), -120);
  EXPECT_EQ(WheelDeltaFromNotches(3.0f), 360);
  EXPECT_EQ(WheelDeltaFromNotches(0.25f), 30);
  EXPECT_EQ(WheelDeltaFromNotches(0.0f), 0);
}

using PointerTest = WindowFixture;

TEST_F(PointerTest, MovesPressesAndWheelsCarryTheirFields) {
  Paint(0, 0, 1001, 1001);
  SendPointer(state, 500, 1000, std::nullopt, false, 0, 0);
  SendPointer(state, 0, 0, MouseButton::Right, true, 0, 0);
  SendPointer(state, 0, 0, MouseButton::Middle, false, 0, 0);
  SendPointer(state, 1, 1, std::nullopt, false, -120, 0);
  SendPointer(state, 1, 1, std::nullopt, false, 0, 240);
  ASSERT_EQ(sent.size(), 5u);
  for (const auto& message : sent) EXPECT_EQ(message.t, static_cast<int32_t>(ControlKind::Pointer));
  EXPECT_EQ(sent[0].x, 32767);
  EXPECT_EQ(sent[0].y, 65535);
  EXPECT_FALSE(sent[0].btn);
  EXPECT_FALSE(sent[0].down);
  EXPECT_EQ(sent[1].btn, 1);
  EXPECT_TRUE(sent[1].down);
  EXPECT_EQ(sent[2].btn, 2);
  EXPECT_FALSE(sent[2].down);
  EXPECT_EQ(sent[3].wheel, -120);
  EXPECT_EQ(sent[3].hwheel, 0);
  EXPECT_FALSE(sent[3].btn);
  EXPECT_EQ(sent[4].wheel, 0);
  EXPECT_EQ(sent[4].hwheel, 240);
}

TEST_F(PointerTest, ClickOnTheMarginSendsNothingAndReleaseOutsideOnlyThePress) {
  Paint(240, 0, 1040, 800);
  SendPointer(state, 100, 400, MouseButton::Left, true, 0, 0);
  SendPointer(state, 100, 400, MouseButton::Left, false, 0, 0);
  EXPECT_THAT(sent, IsEmpty());

  SendPointer(state, 240, 0, MouseButton::Left, true, 0, 0);
  SendPointer(state, 1040, 0, MouseButton::Left, false, 0, 0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].down);
  EXPECT_EQ(sent[0].x, 0);
}

TEST_F(PointerTest, ViewOnlySendsNoPointer) {
  Paint(0, 0, 100, 100);
  state.viewOnly = true;
  SendPointer(state, 50, 50, MouseButton::Left, true, 0, 0);
  SendPointer(state, 50, 50, std::nullopt, false, 120, 0);
  EXPECT_THAT(sent, IsEmpty());
}

TEST(KeyFilterTest, AlwaysForwardedKeys) {
  for (uint32_t key : {8u, 9u, 13u, 16u, 17u, 18u, 19u, 20u, 27u, 33u, 34u, 35u, 36u, 37u, 38u, 39u, 40u, 45u, 46u, 91u,
                       92u, 93u, 112u, 123u, 135u, 144u, 145u, 160u, 165u}) {
    EXPECT_TRUE(IsForwardedKey(key)) << key;
  }
  // Keys that type characters, and the neighbours of each forwarded range.
  for (uint32_t key : {0u, 7u, 10u, 12u, 32u, 41u, 44u, 47u, 48u, 65u, 90u, 94u, 96u, 105u, 111u, 136u, 143u, 146u, 159u,
                       166u, 186u, 222u, 255u, 4294967295u}) {
    EXPECT_FALSE(IsForwardedKey(key)) << key;
  }
}

TEST(KeyFilterTest, CtrlOrAltForwardsAnyKey) {
  EXPECT_FALSE(ShouldForwardKey(vk::kLetterA, kNone));
  EXPECT_TRUE(ShouldForwardKey(vk::kLetterA, kCtrl));
  EXPECT_TRUE(ShouldForwardKey(vk::kLetterA, kAlt));
  EXPECT_TRUE(ShouldForwardKey(vk::kOemComma, kCtrlAlt));
}

TEST(KeyFilterTest, HotkeysNeedBothCtrlAndAlt) {
  EXPECT_EQ(MatchHotkey(vk::kDelete, kCtrlAlt), Hotkey::SecureAttention);
  EXPECT_EQ(MatchHotkey(vk::kLetterC, kCtrlAlt), Hotkey::ToggleClientCursor);
  EXPECT_EQ(MatchHotkey(vk::kLetterG, kCtrlAlt), Hotkey::ToggleGray);
  EXPECT_EQ(MatchHotkey(vk::kLetterQ, kCtrlAlt), Hotkey::NextPreset);
  EXPECT_EQ(MatchHotkey(vk::kLetterR, kCtrlAlt), Hotkey::FullRepaint);
  EXPECT_EQ(MatchHotkey(vk::kLetterQ, kCtrl), Hotkey::None);
  EXPECT_EQ(MatchHotkey(vk::kDelete, kAlt), Hotkey::None);
  EXPECT_EQ(MatchHotkey(vk::kLetterA, kCtrlAlt), Hotkey::None);
}

using KeyboardTest = WindowFixture;

TEST_F(KeyboardTest, LowerCaseLetterIsTextOnly) {
  HandleKeyDown(state, host, vk::kLetterA, kNone);
  HandleTypedText(state, "a");
  HandleKeyUp(state, vk::kLetterA, kNone);
  EXPECT_THAT(sent, ElementsAre(TextMessage("a")));
}

TEST_F(KeyboardTest, ShiftedLetterSendsShiftKeysAroundTheText) {
  HandleKeyDown(state, host, vk::kShift, kNone);
  HandleKeyDown(state, host, vk::kLetterA, kNone);
  HandleTypedText(state, "A");
  HandleKeyUp(state, vk::kLetterA, kNone);
  HandleKeyUp(state, vk::kShift, kNone);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(16, true), TextMessage("A"), KeyMessage(16, false)));
}

TEST_F(KeyboardTest, CtrlLetterSendsKeysAndNoControlCharacter) {
  HandleKeyDown(state, host, vk::kControl, kCtrl);
  HandleKeyDown(state, host, vk::kLetterA, kCtrl);
  HandleCharacter(state, 1);
  HandleKeyUp(state, vk::kLetterA, kCtrl);
  HandleKeyUp(state, vk::kControl, kNone);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(17, true), KeyMessage(65, true), KeyMessage(65, false),
                                KeyMessage(17, false)));
}

TEST_F(KeyboardTest, TabIsBothKeyAndTextButEnterBackspaceEscapeOnlyKeys) {
  HandleKeyDown(state, host, vk::kTab, kNone);
  if (KeyTypesTab(vk::kTab, kNone)) HandleCharacter(state, u'\t');
  HandleKeyUp(state, vk::kTab, kNone);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(9, true), TextMessage("\t"), KeyMessage(9, false)));

  sent.clear();
  for (auto [key, character] : {std::pair{vk::kReturn, u'\r'}, {vk::kBack, u'\b'}, {vk::kEscape, u'\x1b'}}) {
    HandleKeyDown(state, host, key, kNone);
    HandleCharacter(state, character);
    HandleKeyUp(state, key, kNone);
  }
  EXPECT_THAT(sent, ElementsAre(KeyMessage(13, true), KeyMessage(13, false), KeyMessage(8, true), KeyMessage(8, false),
                                KeyMessage(27, true), KeyMessage(27, false)));
}

TEST_F(KeyboardTest, TabTypesNothingWithCtrlOrAlt) {
  EXPECT_TRUE(KeyTypesTab(vk::kTab, kNone));
  EXPECT_FALSE(KeyTypesTab(vk::kTab, kCtrl));
  EXPECT_FALSE(KeyTypesTab(vk::kTab, kAlt));
  EXPECT_FALSE(KeyTypesTab(vk::kReturn, kNone));
}

TEST_F(KeyboardTest, CtrlAltDeleteReplacesOnlyTheDeleteKeyDown) {
  HandleKeyDown(state, host, vk::kControl, kCtrl);
  HandleKeyDown(state, host, vk::kMenu, kCtrlAlt);
  HandleKeyDown(state, host, vk::kDelete, kCtrlAlt);
  HandleKeyUp(state, vk::kDelete, kCtrlAlt);
  HandleKeyUp(state, vk::kMenu, kCtrl);
  HandleKeyUp(state, vk::kControl, kNone);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(17, true), KeyMessage(18, true),
                                MakeControlMessage(ControlKind::SecureAttention), KeyMessage(46, false),
                                KeyMessage(18, false), KeyMessage(17, false)));
}

TEST_F(KeyboardTest, ClientCursorToggleStartsByShowing) {
  HandleKeyDown(state, host, vk::kLetterC, kCtrlAlt);
  HandleKeyDown(state, host, vk::kLetterC, kCtrlAlt);
  ASSERT_THAT(Kinds(sent), ElementsAre(ControlKind::CursorInStream, ControlKind::CursorInStream));
  EXPECT_TRUE(sent[0].show);
  EXPECT_FALSE(sent[1].show);
  EXPECT_FALSE(state.clientCursorShown);
}

TEST_F(KeyboardTest, FullRepaintHotkey) {
  HandleKeyDown(state, host, vk::kLetterR, kCtrlAlt);
  EXPECT_THAT(sent, ElementsAre(MakeControlMessage(ControlKind::FullRepaint)));
}

TEST_F(KeyboardTest, PresetCycleRetitlesAndReportsEachStep) {
  picture.width = 1920;
  picture.height = 1080;
  for (int i = 0; i < 3; ++i) HandleKeyDown(state, host, vk::kLetterQ, kCtrlAlt);
  ASSERT_THAT(Kinds(sent), ElementsAre(ControlKind::QualityReport, ControlKind::QualityReport,
                                       ControlKind::QualityReport));
  EXPECT_EQ(sent[0].preset, "Balanced");
  EXPECT_EQ(sent[1].preset, "DataSaver");
  EXPECT_EQ(sent[2].preset, "High");
  ASSERT_EQ(host.titles.size(), 3u);
  EXPECT_TRUE(host.titles[0].ends_with(" - Balanced")) << host.titles[0];
  EXPECT_TRUE(host.titles[1].ends_with(" - DataSaver")) << host.titles[1];
  EXPECT_TRUE(host.titles[2].ends_with(" - High")) << host.titles[2];
  EXPECT_EQ(state.preset, QualityPreset::High);
}

TEST_F(KeyboardTest, GrayToggleRetitlesAndReports) {
  HandleKeyDown(state, host, vk::kLetterG, kCtrlAlt);
  ASSERT_THAT(Kinds(sent), ElementsAre(ControlKind::QualityReport));
  EXPECT_TRUE(sent[0].gray);
  ASSERT_EQ(host.titles.size(), 1u);
  EXPECT_TRUE(host.titles[0].ends_with(" - High - grey")) << host.titles[0];
}

TEST_F(KeyboardTest, KeyUpIsNeverAHotkey) {
  HandleKeyUp(state, vk::kLetterQ, kCtrlAlt);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(81, false)));
  EXPECT_EQ(state.preset, QualityPreset::High);
}

TEST_F(KeyboardTest, CtrlWithoutAltForwardsTheHotkeyLetter) {
  HandleKeyDown(state, host, vk::kLetterQ, kCtrl);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(81, true)));
  EXPECT_EQ(state.preset, QualityPreset::High);
}

TEST_F(KeyboardTest, ViewOnlyDropsInputButKeepsHotkeys) {
  state.viewOnly = true;
  Paint(0, 0, 100, 100);
  HandleKeyDown(state, host, vk::kControl, kCtrl);
  HandleKeyDown(state, host, vk::kLetterA, kCtrl);
  HandleTypedText(state, "a\t");
  SendPointer(state, 5, 5, MouseButton::Left, true, 0, 0);
  ReleaseModifiersOnFocusLoss(state);
  EXPECT_THAT(sent, IsEmpty());

  for (uint32_t key : {vk::kDelete, vk::kLetterC, vk::kLetterR, vk::kLetterG, vk::kLetterQ}) {
    HandleKeyDown(state, host, key, kCtrlAlt);
  }
  EXPECT_THAT(Kinds(sent), ElementsAre(ControlKind::SecureAttention, ControlKind::CursorInStream,
                                       ControlKind::FullRepaint, ControlKind::QualityReport,
                                       ControlKind::QualityReport));
  EXPECT_TRUE(host.titles.back().ends_with(" - view only")) << host.titles.back();
}

TEST(Utf16UnitTest, EachUnitConvertsAlone) {
  EXPECT_EQ(Utf16UnitToUtf8(u'A'), "A");
  EXPECT_EQ(Utf16UnitToUtf8(u'\t'), "\t");
  EXPECT_EQ(Utf16UnitToUtf8(0x7F), "\x7F");
  EXPECT_EQ(Utf16UnitToUtf8(0x80), "\xC2\x80");
  EXPECT_EQ(Utf16UnitToUtf8(0xE9), "\xC3\xA9");
  EXPECT_EQ(Utf16UnitToUtf8(0x7FF), "\xDF\xBF");
  EXPECT_EQ(Utf16UnitToUtf8(0x800), "\xE0\xA0\x80");
  EXPECT_EQ(Utf16UnitToUtf8(0x20AC), "\xE2\x82\xAC");
  EXPECT_EQ(Utf16UnitToUtf8(0xD7FF), "\xED\x9F\xBF");
  EXPECT_EQ(Utf16UnitToUtf8(0xD83D), "\xEF\xBF\xBD");  // lone high surrogate
  EXPECT_EQ(Utf16UnitToUtf8(0xDE00), "\xEF\xBF\xBD");  // lone low surrogate
  EXPECT_EQ(Utf16UnitToUtf8(0xE000), "\xEE\x80\x80");
  EXPECT_EQ(Utf16UnitToUtf8(0xFFFF), "\xEF\xBF\xBF");
}

TEST(Utf8ToUtf16Test, SplitsBeyondTheBasicPlaneIntoSurrogates) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC"), u"a\u00E9\u20AC");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(Utf8ToUtf16("\xF4\x8F\xBF\xBF"), std::u16string({0xDBFF, 0xDFFF}));
}

TEST(Utf8ToUtf16Test, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");              // cut short
  EXPECT_EQ(Utf8ToUtf16("\xC3x"), u"\uFFFDx");            // missing continuation
  EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");              // stray continuation
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");    // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // beyond U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
}

using TypedTextTest = WindowFixture;

TEST_F(TypedTextTest, CharacterBeyondTheBasicPlaneIsTwoTextMessages) {
  HandleTypedText(state, "\xF0\x9F\x98\x80");
  EXPECT_THAT(sent, ElementsAre(TextMessage("\xEF\xBF\xBD"), TextMessage("\xEF\xBF\xBD")));
}

TEST_F(TypedTextTest, ControlCharactersOtherThanTabAreDropped) {
  for (char16_t unit = 0; unit < 32; ++unit) HandleCharacter(state, unit);
  HandleCharacter(state, u' ');
  HandleCharacter(state, 0x7F);
  EXPECT_THAT(sent, ElementsAre(TextMessage("\t"), TextMessage(" "), TextMessage("\x7F")));
}

TEST_F(TypedTextTest, EveryUnitOfAStringIsItsOwnMessage) {
  HandleTypedText(state, "h\xC3\xA9!");
  EXPECT_THAT(sent, ElementsAre(TextMessage("h"), TextMessage("\xC3\xA9"), TextMessage("!")));
}

using FocusTest = WindowFixture;

TEST_F(FocusTest, FocusLossReleasesEveryModifierInOrder) {
  ReleaseModifiersOnFocusLoss(state);
  EXPECT_THAT(sent, ElementsAre(KeyMessage(16, false), KeyMessage(17, false), KeyMessage(18, false),
                                KeyMessage(91, false), KeyMessage(92, false)));
}

TEST_F(FocusTest, NoSenderDropsMessagesQuietly) {
  state.send = nullptr;
  ReleaseModifiersOnFocusLoss(state);
  HandleKeyDown(state, host, vk::kLetterR, kCtrlAlt);
  EXPECT_THAT(sent, IsEmpty());
}

}  // namespace
}  // namespace stv::testing
