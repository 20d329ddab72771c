#include "ui/memo_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace drv {
namespace {

// A memo driven only through the three functions, as the window drives its edit field.
struct Memo {
  std::wstring text;
  std::size_t Lines() const { return MemoLineCount(text); }
  void Append(std::wstring_view line) { text += MemoLineToAppend(text, line); }
  void DeleteFirst() { text.erase(0, MemoFirstLineLength(text)); }
};

TEST(MemoTextTest, CountsLinesByTheirBreaks) {
  const struct {
    std::wstring text;
    std::size_t lines;
    std::size_t firstLineLength;
  } cases[] = {
      {L"", 0, 0},           {L"one", 1, 3},
      {L"one\r\ntwo", 2, 5}, {L"one\r\n", 2, 5},  // a typed Enter at the end starts an empty line
      {L"\r\n\r\n", 3, 2},   {L"a\nb", 1, 3},     // only CR LF breaks a line of the edit field
      {L"\r\r\n", 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(MemoLineCount(c.text), c.lines);
    EXPECT_EQ(MemoFirstLineLength(c.text), c.firstLineLength);
  }
}

TEST(MemoTextTest, AppendsAndDeletesLikeTheDisplayList) {
  Memo memo;
  memo.Append(L"10.12.2026 09:41:28 Соединение");
  EXPECT_EQ(memo.text, L"10.12.2026 09:41:28 Соединение");
  memo.Append(L"");
  memo.Append(L"01 F2");
  EXPECT_EQ(memo.text, L"10.12.2026 09:41:28 Соединение\r\n\r\n01 F2");
  EXPECT_EQ(memo.Lines(), 3u);

  memo.DeleteFirst();
  EXPECT_EQ(memo.text, L"\r\n01 F2");
  memo.DeleteFirst();
  EXPECT_EQ(memo.text, L"01 F2");
  memo.DeleteFirst();
  EXPECT_EQ(memo.text, L"");
  EXPECT_EQ(memo.Lines(), 0u);
  memo.DeleteFirst();
  EXPECT_EQ(memo.Lines(), 0u);
}

TEST(MemoTextTest, HoldsMoreThanAThousandLines) {
  Memo memo;
  for (int i = 0; i < 1500; ++i) memo.Append(std::to_wstring(i));
  EXPECT_EQ(memo.Lines(), 1500u);
  memo.DeleteFirst();
  EXPECT_EQ(memo.Lines(), 1499u);
  EXPECT_EQ(memo.text.substr(0, 3), L"1\r\n");
}

}  // namespace
}  // namespace drv
