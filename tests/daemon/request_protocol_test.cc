#include "daemon/request_protocol.h"

#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "security/errors.h"
#include "tests/support/row_name.h"

namespace vesk {
namespace {

struct Call {
  std::string blob;
  int tier = 0;
  bool operator==(const Call&) const = default;
};

// A plain value with a NUL in it: the reply must carry every byte.
const std::string kPlain("s3c\0ret", 7);

struct Row {
  std::string name;
  std::string request;
  std::optional<std::string> reply;  // nullopt: closed without a reply
  std::optional<Call> call = std::nullopt;
  friend void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }
};

class RequestProtocol : public ::testing::TestWithParam<Row> {};

TEST_P(RequestProtocol, RepliesAndUnvaultCalls) {
  const Row& row = GetParam();
  std::vector<Call> calls;
  const auto reply = reply_to_request(row.request, [&](const std::string& blob, int tier) {
    calls.push_back({blob, tier});
    return kPlain;
  });
  EXPECT_EQ(reply, row.reply);
  EXPECT_EQ(calls, row.call ? std::vector<Call>{*row.call} : std::vector<Call>{});
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Grammar, RequestProtocol,
    ::testing::Values(
        Row{"empty_request", "", std::nullopt}, Row{"bare_ping", "PING", std::nullopt},
        Row{"bare_unvault", "UNVAULT", std::nullopt}, Row{"ping", "PING:", "PONG"},
        Row{"ping_with_argument", "PING:v2:abc:def\n", "PONG"}, Row{"only_colon", ":", "ERR"},
        Row{"empty_command_with_blob", ":v2:abc", "ERR"}, Row{"lower_case_ping", "ping:", "ERR"},
        Row{"mixed_case_unvault", "Unvault:v1:abc", "ERR"},
        Row{"command_with_blank", "PING :", "ERR"}, Row{"unknown_command", "STATUS:", "ERR"},
        Row{"empty_argument", "UNVAULT:", kPlain, Call{"", 1}},
        Row{"tier_1", "UNVAULT:v1:abc", kPlain, Call{"v1:abc", 1}},
        Row{"tier_2", "UNVAULT:v2:abc", kPlain, Call{"v2:abc", 2}},
        Row{"tier_3", "UNVAULT:v3:abc", kPlain, Call{"v3:abc", 3}},
        Row{"other_digit_is_tier_2", "UNVAULT:v9:abc", kPlain, Call{"v9:abc", 2}},
        Row{"zero_is_tier_2", "UNVAULT:v0:abc", kPlain, Call{"v0:abc", 2}},
        Row{"letter_is_tier_2", "UNVAULT:vx:abc", kPlain, Call{"vx:abc", 2}},
        Row{"colon_as_tier_is_tier_2", "UNVAULT:v::", kPlain, Call{"v::", 2}},
        Row{"capital_v_is_tier_1", "UNVAULT:V2:abc", kPlain, Call{"V2:abc", 1}},
        Row{"no_colon_third_is_tier_1", "UNVAULT:v2-abc", kPlain, Call{"v2-abc", 1}},
        Row{"two_bytes_is_tier_1", "UNVAULT:v2", kPlain, Call{"v2", 1}},
        Row{"prefix_not_at_start_is_tier_1", "UNVAULT:xv2:", kPlain, Call{"xv2:", 1}},
        Row{"line_break_stays", "UNVAULT:v2:abc\r\n", kPlain, Call{"v2:abc\r\n", 2}},
        Row{"nul_ends_argument", "UNVAULT:v3:ab\0cd"s, kPlain, Call{"v3:ab", 3}},
        Row{"nul_before_colon", "PING\0:"s, std::nullopt},
        Row{"leading_nul", "\0PING:"s, std::nullopt},
        Row{"cut_at_4095_bytes", "UNVAULT:v2:" + std::string(4084, 'A') + "TAIL", kPlain,
            Call{"v2:" + std::string(4084, 'A'), 2}},
        Row{"colon_beyond_4095_bytes", "PING" + std::string(4091, 'x') + ":", std::nullopt}),
    testing::RowName());

TEST(RequestProtocolFailures, AnyExceptionFromUnvaultBecomesDecryptFail) {
  const std::vector<std::function<void()>> throwers = {
      [] { throw DecryptionError("bad padding"); },
      [] { throw std::bad_alloc(); },
      [] { throw std::runtime_error("anything"); },
      [] { throw 7; },
  };
  for (std::size_t i = 0; i < throwers.size(); ++i) {
    const auto reply = reply_to_request("UNVAULT:v2:abc", [&](const std::string&, int) {
      throwers[i]();
      return kPlain;
    });
    EXPECT_EQ(reply, "ERR:DECRYPT_FAIL") << "thrower " << i;
  }
}

}  // namespace
}  // namespace vesk
