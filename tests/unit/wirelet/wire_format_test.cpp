#include "wirelet/wire_format.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include <boost/json.hpp>

#include "velmora/base/errors.hpp"
#include "wirelet/client.hpp"

namespace {

using wirelet::WireletConfig;

TEST(WsUrl, FormsQueryAndUserPlacement) {
  struct Case {
    std::string base;
    std::string token;
    std::optional<std::string> thread;
    std::optional<std::string> language;
    std::string user;
    std::string expected;
  };
  const Case cases[] = {
      {"wss://h/ws/v3/",
       "t k",
       "abc",
       {},
       "u1",
       "wss://h/ws/v3?userToken=t+k&thread_id=abc&user_id=u1"},
      {"wss://h/ws", "t k", "abc", {}, "u1", "wss://h/ws/u1?userToken=t+k&thread_id=abc"},
      {"wss://x/v3///", "t", {}, {}, "u", "wss://x/v3?userToken=t&user_id=u"},
      {"wss://x/V3", "t", {}, {}, "u", "wss://x/V3/u?userToken=t"},
      {"ws://x/v3", "t", "", "", "u", "ws://x/v3?userToken=t&user_id=u"},
      {"ws://x/v3", "t", "th", "zh-CN", "u",
       "ws://x/v3?userToken=t&thread_id=th&User_language=zh-CN&user_id=u"},
      {"ws://x/api",
       "a/b&c=d~_.-",
       {},
       "fr",
       "u 2",
       "ws://x/api/u 2?userToken=a%2Fb%26c%3Dd~_.-&User_language=fr"},
      {"ws://x/v3", "é+%", {}, {}, "ü", "ws://x/v3?userToken=%C3%A9%2B%25&user_id=%C3%BC"},
  };
  for (const auto& c : cases) {
    WireletConfig cfg{.base_url = c.base, .user_id = c.user, .user_token = c.token};
    cfg.thread_id = c.thread;
    cfg.user_language = c.language;
    EXPECT_EQ(wirelet::ws_url(cfg), c.expected) << c.base;
  }
}

TEST(ParseWsEndpoint, HostPortHeaderAndTarget) {
  struct Case {
    std::string url;
    bool tls;
    std::string host;
    unsigned port;
    std::string host_header;
    std::string target;
  };
  const Case cases[] = {
      {"ws://example.com", false, "example.com", 80, "example.com", "/"},
      {"wss://example.com/ws/v3?a=b", true, "example.com", 443, "example.com", "/ws/v3?a=b"},
      {"WSS://Example.COM:443/p", true, "example.com", 443, "example.com", "/p"},
      {"ws://127.0.0.1:8080/v3?userToken=t+k", false, "127.0.0.1", 8080, "127.0.0.1:8080",
       "/v3?userToken=t+k"},
      {"ws://[::1]:9000/x", false, "::1", 9000, "[::1]:9000", "/x"},
      {"wss://[2001:db8::1]/x", true, "2001:db8::1", 443, "[2001:db8::1]", "/x"},
      {"ws://h/api/user one?x=1#frag", false, "h", 80, "h", "/api/user%20one?x=1"},
      {"ws://h:/p", false, "h", 80, "h", "/p"},
  };
  for (const auto& c : cases) {
    const auto ep = wirelet::parse_ws_endpoint(c.url);
    EXPECT_EQ(ep.tls, c.tls) << c.url;
    EXPECT_EQ(ep.host, c.host) << c.url;
    EXPECT_EQ(ep.port, c.port) << c.url;
    EXPECT_EQ(ep.host_header, c.host_header) << c.url;
    EXPECT_EQ(ep.target, c.target) << c.url;
  }
}

TEST(ParseWsEndpoint, RejectsUnusableUrlsWithoutEchoingThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://h/v3?userToken=secret", "invalid websocket URL: scheme isn't ws or wss"},
      {"ws://h:99999/v3?userToken=secret", "invalid websocket URL: bad port"},
      {"ws:///v3?userToken=secret", "invalid websocket URL: no host"},
  };
  for (const auto& [url, message] : cases) {
    try {
      (void)wirelet::parse_ws_endpoint(url);
      ADD_FAILURE() << url;
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  try {
    (void)wirelet::parse_ws_endpoint("no scheme userToken=secret");
    ADD_FAILURE();
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_THAT(e.what(), ::testing::Not(::testing::HasSubstr("secret")));
  }
}

TEST(DecodeFrame, ObjectsRawAndHeartbeats) {
  struct Case {
    std::string frame;
    bool binary;
    std::optional<std::string> expected;  // serialised message; nothing for a dropped frame
  };
  const Case cases[] = {
      {R"({"type": "text", "content": "hi"})", false, R"({"type":"text","content":"hi"})"},
      {R"({"type": "heartbeat"})", false, std::nullopt},
      {R"({"type": "heartbeat"})", true, std::nullopt},
      {R"({"type": "Heartbeat"})", false, R"({"type":"Heartbeat"})"},
      {"not json", false, R"({"type":"_raw","raw":"not json"})"},
      {"[1, 2]", false, R"({"type":"_raw","raw":"[1, 2]"})"},
      {"42", false, R"({"type":"_raw","raw":"42"})"},
      {"", false, R"({"type":"_raw","raw":""})"},
      {R"({"type": "x"} trailing)", false, R"({"type":"_raw","raw":"{\"type\": \"x\"} trailing"})"},
      {R"({"type": "x"})", true, R"({"type":"x"})"},
      {"\xEF\xBB\xBF{\"type\": \"x\"}", true, R"({"type":"x"})"},
      {"\xEF\xBB\xBF{\"type\": \"x\"}", false,
       "{\"type\":\"_raw\",\"raw\":\"\xEF\xBB\xBF{\\\"type\\\": \\\"x\\\"}\"}"},
      {"nope", true, R"({"type":"_raw","raw":"nope","binary":true})"},
  };
  for (const auto& c : cases) {
    const auto msg = wirelet::decode_frame(c.frame, c.binary);
    if (!c.expected) {
      EXPECT_FALSE(msg) << c.frame;
    } else {
      ASSERT_TRUE(msg) << c.frame;
      EXPECT_EQ(boost::json::serialize(msg->message), *c.expected) << c.frame;
      // Only an undecodable frame is the client's own message.
      EXPECT_EQ(msg->origin == wirelet::Origin::client,
                c.expected->starts_with(R"({"type":"_raw")"))
          << c.frame;
    }
  }
  // A server frame in the client's spelling stays the server's.
  const auto forged = wirelet::decode_frame(R"({"type": "_raw", "raw": "x"})", false);
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->origin, wirelet::Origin::server);
}

TEST(FrameDecoder, ReusedAcrossGoodAndBrokenFrames) {
  wirelet::FrameDecoder decoder;
  const std::pair<std::string, std::string> frames[] = {
      {R"({"type": "a"})", R"({"type":"a"})"},
      {R"({"type": "b", )", R"({"type":"_raw","raw":"{\"type\": \"b\", "})"},
      {R"({"type": "c", "n": [1, {"d": null}]})", R"({"type":"c","n":[1,{"d":null}]})"},
      {"[]", R"({"type":"_raw","raw":"[]"})"},
      {R"({"type": "e"})", R"({"type":"e"})"},
  };
  for (const auto& [frame, expected] : frames) {
    const auto msg = decoder.decode(frame, false);
    ASSERT_TRUE(msg) << frame;
    EXPECT_EQ(boost::json::serialize(msg->message), expected);
  }
}

TEST(DecodeFrame, LoneSurrogatesAreReadAsReplacementCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"type": "complete", "usage": {"n": "\ud800"}})",
       "{\"type\":\"complete\",\"usage\":{\"n\":\"\xEF\xBF\xBD\"}}"},
      {R"({"type": "text", "content": "a\udc00b\ud83d", "\ud800": 1})",
       "{\"type\":\"text\",\"content\":\"a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\",\"\xEF\xBF\xBD\":1}"},
      // A lone high half at the end of a lone delta: there is no next delta to join.
      {R"({"type": "text_delta", "message_id": "a", "delta": "abc\ud83d"})",
       "{\"type\":\"text_delta\",\"message_id\":\"a\",\"delta\":\"abc\xEF\xBF\xBD\"}"},
      // Pairs, escaped backslashes and escaped quotes are left alone.
      {R"({"type": "x", "s": "\ud83d\ude00 \\ud800 \"\ud83d\""})",
       "{\"type\":\"x\",\"s\":\"\xF0\x9F\x98\x80 \\\\ud800 \\\"\xEF\xBF\xBD\\\"\"}"},
  };
  for (const auto& [frame, expected] : cases) {
    const auto msg = wirelet::decode_frame(frame, false);
    ASSERT_TRUE(msg) << frame;
    EXPECT_EQ(msg->origin, wirelet::Origin::server) << frame;
    EXPECT_EQ(boost::json::serialize(msg->message), expected) << frame;
  }
}

TEST(FrameDecoder, JoinsAPairCutBetweenTwoDeltasOfOneMessage) {
  const auto delta_of = [](const std::optional<wirelet::Incoming>& msg) {
    return msg ? std::string(msg->message.at("delta").as_string()) : std::string("<none>");
  };
  {
    wirelet::FrameDecoder decoder;
    EXPECT_EQ(delta_of(decoder.decode(
                  R"({"type": "text_delta", "message_id": "a", "delta": "x\ud83d"})", false)),
              "x");
    EXPECT_FALSE(decoder.decode(R"({"type": "heartbeat"})", false));
    EXPECT_EQ(delta_of(decoder.decode(
                  R"({"type": "text_delta", "message_id": "a", "delta": "\ude00y"})", false)),
              "\xF0\x9F\x98\x80y");
    EXPECT_FALSE(decoder.take_released());
    EXPECT_FALSE(decoder.finish());
  }
  {
    // The other half never comes: the held half is a U+FFFD delta of its message, delivered
    // before whatever came instead, so a "complete" still follows the whole answer.
    wirelet::FrameDecoder decoder;
    (void)decoder.decode(R"({"type": "answer_delta", "message_id": "a", "delta": "\ud83d"})",
                         false);
    const auto complete = decoder.decode(R"({"type": "complete"})", false);
    ASSERT_TRUE(complete);
    const auto released = decoder.take_released();
    ASSERT_TRUE(released);
    EXPECT_EQ(boost::json::serialize(released->message),
              "{\"type\":\"answer_delta\",\"message_id\":\"a\",\"delta\":\"\xEF\xBF\xBD\"}");
  }
  {
    // Another message's delta, and a delta of the same message that does not start with the
    // low half, each get the U+FFFD; a lone low half is one too.
    wirelet::FrameDecoder decoder;
    (void)decoder.decode(R"({"type": "text_delta", "message_id": "a", "delta": "\ud83d"})", false);
    EXPECT_EQ(delta_of(decoder.decode(
                  R"({"type": "text_delta", "message_id": "b", "delta": "\ude00"})", false)),
              "\xEF\xBF\xBD");
    EXPECT_EQ(boost::json::serialize(decoder.take_released()->message),
              "{\"type\":\"text_delta\",\"message_id\":\"a\",\"delta\":\"\xEF\xBF\xBD\"}");
    (void)decoder.decode(
        R"({"type": "text_delta", "message_id": "b", "payload": {"delta": "\ud83d"}})", false);
    EXPECT_EQ(delta_of(decoder.decode(R"({"type": "text_delta", "message_id": "b", "delta": "z"})",
                                      false)),
              "\xEF\xBF\xBDz");
    EXPECT_FALSE(decoder.take_released());
    (void)decoder.decode(R"({"type": "text_delta", "message_id": "b", "delta": "\udbff"})", false);
    EXPECT_EQ(delta_of(decoder.finish()), "\xEF\xBF\xBD");
  }
}

TEST(DecodeFrame, KeepsUndecodableBytesAndAcceptsDeepNesting) {
  const std::string bytes("\xff\x00\x01", 3);
  const auto raw = wirelet::decode_frame(bytes, true);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->message.at("raw").as_string(), boost::json::string_view(bytes));
  EXPECT_TRUE(raw->message.at("binary").as_bool());

  std::string deep = "{\"type\": \"x\", \"v\": ";
  for (int i = 0; i < 200; ++i) deep += "[";
  for (int i = 0; i < 200; ++i) deep += "]";
  deep += "}";
  const auto nested = wirelet::decode_frame(deep, false);
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->message.at("type").as_string(), "x");
}

TEST(FrameDebugText, TextAsIsUndecodableBytesAsLiteral) {
  const std::pair<std::pair<std::string, bool>, std::string> cases[] = {
      {{"héllo", false}, "héllo"},
      {{"héllo", true}, "héllo"},
      {{"\xff", true}, "b'\\xff'"},
      {{std::string("a\x00\t\n\r\\\x7f\x80", 8), true}, "b'a\\x00\\t\\n\\r\\\\\\x7f\\x80'"},
      {{"it's\xff", true}, "b\"it's\\xff\""},
      {{"'\"\xff", true}, "b'\\'\"\\xff'"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(wirelet::frame_debug_text(input.first, input.second), expected);
  }
}

TEST(SessionBlock, ShowsBaseUrlNotTheTokenNoneAndCapitalisedBooleans) {
  WireletConfig cfg{.base_url = "wss://h/v3", .user_id = "u1", .user_token = "secret"};
  EXPECT_EQ(wirelet::session_block_text(cfg),
            "[DEBUG][SESSION]\n  endpoint: wss://h/v3\n  user_id: u1\n  session_id: None\n"
            "  language: None\n  explicit_thread_id: False");
  cfg.thread_id = "t1";
  cfg.user_language = "en";
  cfg.explicit_thread_id = true;
  EXPECT_EQ(wirelet::session_block_text(cfg),
            "[DEBUG][SESSION]\n  endpoint: wss://h/v3\n  user_id: u1\n  session_id: t1\n"
            "  language: en\n  explicit_thread_id: True");
}

TEST(NewUuid4, VersionFourLowerCaseAndFresh) {
  const std::regex shape("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const auto id = wirelet::new_uuid4();
    EXPECT_TRUE(std::regex_match(id, shape)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

}  // namespace
