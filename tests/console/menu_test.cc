#include <gtest/gtest.h>

#include "tests/console/console_harness.h"
#include "tests/support/row_name.h"

namespace vesk::testing {
namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Menu, DrawsTheBadgeAndTheUpdateLineForEachState) {
  ConsoleHarness open;
  EXPECT_EQ(open.run_menu("q\n"), menu_text(false));
  ConsoleHarness sealed;
  sealed.sealed = true;
  EXPECT_EQ(sealed.run_menu("q\n"), menu_text(true));
}

struct SelectionRow {
  const char* name;
  std::string input;
  bool sealed;
  std::size_t menus_drawn;
  std::size_t enrolments;
  std::size_t editor_runs;
  friend void PrintTo(const SelectionRow& row, std::ostream* out) { *out << row.name; }
};

class MenuSelection : public ::testing::TestWithParam<SelectionRow> {};

TEST_P(MenuSelection, DispatchesOrIgnoresTheToken) {
  const SelectionRow& row = GetParam();
  ConsoleHarness console;
  console.sealed = row.sealed;
  const std::string output = console.run_menu(row.input);
  EXPECT_EQ(count_of(output, "Selection: "), row.menus_drawn);
  EXPECT_EQ(count_of(output, "--- USB KEY ENROLLMENT ---"), row.enrolments);
  std::size_t editor_runs = 0;
  for (const CommandLine& command : console.runner.commands) editor_runs += command[0] == "nano";
  EXPECT_EQ(editor_runs, row.editor_runs);
  // Nothing follows the last prompt: exit and end of input write nothing.
  EXPECT_TRUE(output.ends_with("Selection: "));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MenuSelection,
    ::testing::Values(SelectionRow{"LowerQ", "q\n5\n", false, 1, 0, 0},
                      SelectionRow{"UpperQ", "Q\n5\n", false, 1, 0, 0},
                      SelectionRow{"Zero", "0\n5\n", false, 1, 0, 0},
                      SelectionRow{"EndOfInput", "", false, 1, 0, 0},
                      SelectionRow{"EndOfInputAfterBlanks", "  \n\n", false, 1, 0, 0},
                      SelectionRow{"DoubleZeroIsNumberZero", "00\nq\n", false, 2, 0, 0},
                      SelectionRow{"PlusZero", "+0\nq\n", false, 2, 0, 0},
                      SelectionRow{"NotANumber", "q1\nquit\nq\n", false, 3, 0, 0},
                      SelectionRow{"DigitsThenLetters", "4x\nq\n", false, 2, 0, 1},
                      SelectionRow{"PlusSign", "+5\nq\n", false, 2, 1, 0},
                      SelectionRow{"Negative", "-1\nq\n", false, 2, 0, 0},
                      SelectionRow{"TooLarge", "8\nq\n", false, 2, 0, 0},
                      SelectionRow{"PastInt32", "2147483648\nq\n", false, 2, 0, 0},
                      SelectionRow{"PastInt32Negative", "-2147483649\nq\n", false, 2, 0, 0},
                      SelectionRow{"OverflowsFive", "4294967301\nq\n", false, 2, 0, 0},
                      SelectionRow{"TwoTokensOneLine", "5 5\nq\n", false, 3, 2, 0},
                      SelectionRow{"SevenWhenOpenDoesNothing", "7\nq\n", false, 2, 0, 0},
                      SelectionRow{"EditWhenOpen", "4\n", false, 2, 0, 1}),
    RowName());

TEST(Menu, EnrolmentShowsTheDriveSerial) {
  ConsoleHarness console;
  EXPECT_EQ(console.run_menu("5\nq\n"),
            menu_text(false) + "\n--- USB KEY ENROLLMENT ---\n" + RED + "[-] No USB Drive found." +
                RESET + "\n" + menu_text(false));
  console.device.plug_usb("  4C530001 trailing\n");
  EXPECT_EQ(console.run_menu("5\nq\n"),
            menu_text(false) + "\n--- USB KEY ENROLLMENT ---\n[*] USB Serial Detected: " + CYAN +
                "4C530001" + RESET + "\n" + GREEN + "[+] Key Authorized for Recovery." + RESET +
                "\n" + menu_text(false));
  EXPECT_TRUE(console.runner.commands.empty());
}

}  // namespace
}  // namespace vesk::testing
