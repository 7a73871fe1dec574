// ExecuteBlock over an in-memory line: classification, decoding, and what a
// failure leaves behind.
#include <string>

#include "tests/support/driver_handle.h"
#include "tests/support/fake_line.h"
#include "link/reply_decoder.h"

namespace qvtest {
namespace {

const std::string kAck = "\x06";
const std::string kNak = "\x15";
const std::string kCr = "\r";

// A controller's reply: ACK, station, status "0", data, check, CR.
std::string Reply(const std::string& data, const std::string& status = "0") {
  return kAck + "01" + status + data + "7F" + kCr;
}

class Transaction : public ::testing::Test {
 protected:
  void SetUp() override { driver.SetPortHandle(42); }

  // Items must not change: value, quality, timestamp, host fields.
  void ExpectUntouched(const HostBlock& block, uint8_t fill = 0xEE) {
    for (const auto& item : block.items) {
      for (size_t i = 4; i < sizeof item.bytes; ++i) ASSERT_EQ(item.bytes[i], fill) << "item byte " << i;
    }
  }

  FakeLine line;
  DriverHandle driver;
};

TEST_F(Transaction, ReadOfFourDRegisters) {
  HostBlock block(1, 0, 8, 100, 103, 0, {100, 101, 102, 103});
  line.port.replies.push_back(Reply("000100021234FFFF"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  const uint32_t expected[] = {1, 2, 0x1234, 0xFFFF};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(block.items[i].GetU32(item::kValue), expected[i]) << i;
    EXPECT_EQ(block.items[i].GetU32(item::kValue + 4), 0xEEEEEEEEu) << "bytes 12..15 untouched";
    EXPECT_EQ(block.items[i].Get16(item::kQuality), 192);
    EXPECT_EQ(block.items[i].Get64(item::kTimestamp), line.clock.fileTime);
    EXPECT_EQ(block.items[i].Get16(item::kHostField), static_cast<int16_t>(0xEEEE));
  }
  EXPECT_EQ(driver.LastError(), -1);
}

TEST_F(Transaction, ReadOfMGroupsStoresOneByteEach) {
  HostBlock block(1, 1, 2, 10, 30, 0, {10, 30});
  line.port.replies.push_back(Reply("A15AC3"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].bytes[item::kValue], 0xA1);
  EXPECT_EQ(block.items[1].bytes[item::kValue], 0xC3);
  for (size_t i = 1; i < 8; ++i) EXPECT_EQ(block.items[0].bytes[item::kValue + i], 0xEE);
  EXPECT_EQ(block.items[1].Get16(item::kQuality), 192);
}

TEST_F(Transaction, TwoItemsOnOneRegisterBothGetItsValue) {
  HostBlock block(1, 0, 8, 5, 6, 0, {6, 6});
  line.port.replies.push_back(Reply("0000BEEF"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 0xBEEFu);
  EXPECT_EQ(block.items[1].GetU32(item::kValue), 0xBEEFu);
}

TEST_F(Transaction, LowercaseDigitsDecodeAsTheyMean) {
  HostBlock block(1, 0, 8, 0, 0, 0, {0});
  line.port.replies.push_back(Reply("00ff"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 0xFFu);
}

TEST_F(Transaction, RepliesThatFailLeaveEveryItemAndSetTheirCode) {
  struct {
    const char* name;
    std::string reply;
    int error;
  } cases[] = {
      {"NAK", kNak + "01" + kCr, 6},
      {"status 2", Reply("00010002", "2"), 6},
      {"short reply", Reply("0001"), 6},
      {"ACK CR only", kAck + kCr, 6},
      {"non-hex data", Reply("00010G02"), 6},
      {"zero byte in the data", kAck + "010" + std::string("0001\0\0002", 8) + kCr, 6},
      {"data running into the CR", kAck + "010" + "000100" + kCr, 6},
  };
  for (const auto& c : cases) {
    HostBlock block(1, 0, 8, 100, 101, 0, {100, 101});
    line.port.replies.push_back(c.reply);
    EXPECT_EQ(driver.ExecuteBlock(block), 0) << c.name;
    EXPECT_EQ(driver.LastError(), c.error) << c.name;
    ExpectUntouched(block);
  }
}

TEST_F(Transaction, GoodRepliesWhateverTheirStationDigitsAndTrailer) {
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  line.port.replies.push_back(kAck + "ZZ0" + "1234" + "whatever follows" + kCr);
  EXPECT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 0x1234u);
}

TEST_F(Transaction, AShortestReplyIsGoodForAWrite) {
  HostBlock block(1, 0, 8, 100, 100, 1, {100});
  line.port.replies.push_back(kAck + kCr);
  EXPECT_EQ(driver.ExecuteBlock(block), 1);
  ExpectUntouched(block);
}

// The status character is read only from bytes that arrived. A reply too
// short to hold one is classified as if the buffer past it were cleared.
TEST(ReplyClassification, OnlyTheBytesThatArrivedDecide) {
  struct {
    const char* name;
    std::string buffer;  // the reply, then whatever the buffer held before
    int32_t length;
    bool good;
  } cases[] = {
      {"ACK CR, stale 2 past it", std::string("\x06\r\0" "2", 4), 2, true},
      {"ACK x CR, stale 2 past it", std::string("\x06" "1\r" "2", 4), 3, true},
      {"ACK with status 2", "\x06" "012\r", 5, false},
      {"ACK with status 0", "\x06" "010\r", 5, true},
      {"NAK CR", "\x15\r", 2, false},
      {"status 2 as the CR position", "\x06" "01" "2", 4, false},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.buffer.data());
    EXPECT_EQ(quorvalend::ReplyIsGood(bytes, c.length), c.good) << c.name;
  }
}

// The receive buffers are not cleared between calls: a bad reply's "2" left
// on the stack must not make the next, shortest reply bad.
TEST_F(Transaction, AStaleStatusFromAnEarlierReplyIsNeverRead) {
  HostBlock read(1, 0, 8, 100, 100, 0, {100});
  HostBlock write(1, 0, 8, 100, 100, 1, {100});
  for (int round = 0; round < 3; ++round) {
    line.port.replies.push_back(Reply("0001", "2"));
    EXPECT_EQ(driver.ExecuteBlock(read), 0);
    line.port.replies.push_back(kAck + kCr);
    EXPECT_EQ(driver.ExecuteBlock(write), 1) << "round " << round;
  }
}

TEST_F(Transaction, ALongReplyFitsAndIsDecoded) {
  HostBlock block(1, 0, 8, 0, 31, 0, {0, 31});
  std::string data;
  for (int i = 0; i < 32; ++i) data += "00" + std::string(i < 16 ? "0" : "1") + "0123456789ABCDEF"[i % 16];
  line.port.replies.push_back(Reply(data + std::string(600, 'x')));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 0x00u);
  EXPECT_EQ(block.items[1].GetU32(item::kValue), 0x1Fu);
}

TEST_F(Transaction, ItemsOutsideTheRangeAreLeftAlone) {
  HostBlock block(1, 0, 8, 100, 101, 0, {99, 100, 101, 5000});
  line.port.replies.push_back(Reply("00010002"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[1].GetU32(item::kValue), 1u);
  EXPECT_EQ(block.items[2].GetU32(item::kValue), 2u);
  for (size_t i : {0u, 3u}) {
    for (size_t b = 4; b < 28; ++b) ASSERT_EQ(block.items[i].bytes[b], 0xEE) << i;
  }
}

TEST_F(Transaction, TheItemWalkStopsAtANullNodeOrItem) {
  HostBlock block(1, 0, 8, 100, 101, 0, {100, 101});
  block.request.Put32(block::kCount, 50);  // more than the list holds
  line.port.replies.push_back(Reply("00010002"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[1].GetU32(item::kValue), 2u);

  block.nodes[1].PutPtr(list_node::kData, nullptr);  // second node without an item
  line.port.replies.push_back(Reply("00030004"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 3u);
  EXPECT_EQ(block.items[1].GetU32(item::kValue), 2u);
}

TEST_F(Transaction, ACountOfZeroTouchesNoItem) {
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  block.request.Put32(block::kCount, 0);
  line.port.replies.push_back(Reply("0001"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  ExpectUntouched(block);
}

TEST_F(Transaction, CommErrIsNeitherSentNorTouched) {
  for (int operation : {0, 1}) {
    HostBlock block(1, 0, 8, 100, 100, operation, {100});
    block.SetName("CommErr");
    line.port.replies.push_back(Reply("0001"));
    EXPECT_EQ(driver.ExecuteBlock(block), 1);
    EXPECT_TRUE(line.port.writes.empty());
    EXPECT_EQ(line.port.purges, 0);
    ExpectUntouched(block);
    line.port.replies.clear();
  }
  HostBlock lookalike(1, 0, 8, 100, 100, 0, {100});
  lookalike.SetName("commerr");
  line.port.replies.push_back(Reply("0001"));
  EXPECT_EQ(driver.ExecuteBlock(lookalike), 1);
  EXPECT_EQ(line.port.writes.size(), 1u);
}

TEST_F(Transaction, NoReplyTimesOutAfterTheTimeout) {
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  const uint64_t before = line.clock.slept;
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 5);
  const uint64_t waited = line.clock.slept - before;
  EXPECT_GE(waited, 3000u);
  EXPECT_LE(waited, 6000u);  // across the tick's wrap, too: it starts just below it
  ExpectUntouched(block);
}

TEST_F(Transaction, StaleInputBeforeTheRequestIsDiscarded) {
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  line.port.Arrive(Reply("DEAD"));
  line.port.replies.push_back(Reply("0042"));
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 0x42u);
}

TEST_F(Transaction, AReplyInPiecesIsCollectedAcrossPolls) {
  HostBlock block(1, 0, 8, 100, 101, 0, {100, 101});
  const std::string reply = Reply("12345678");
  size_t sent = 0;
  line.clock.onSleep = [&] {
    if (sent < reply.size()) line.port.Arrive(reply.substr(sent++, 1));
  };
  ASSERT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(block.items[0].GetU32(item::kValue), 0x1234u);
  EXPECT_EQ(block.items[1].GetU32(item::kValue), 0x5678u);
}

TEST_F(Transaction, InputThatNeverStartsWithAckRunsIntoTheTimeout) {
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  line.port.replies.push_back("garbage\r");
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 5);
}

TEST_F(Transaction, EndlessInputOverflowsThenTimesOut) {
  HostBlock block(1, 0, 8, 100, 100, 0, {100});
  line.clock.onSleep = [&] { line.port.Arrive(std::string(300, 'x')); };
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 5);
  ExpectUntouched(block);
}

TEST_F(Transaction, AWriteFailureLeavesThePlatformErrorNumber) {
  HostBlock block(1, 0, 8, 100, 100, 1, {100});
  line.port.writeError = 21;
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 21);
  line.port.writeError = 1167;
  EXPECT_EQ(driver.ExecuteBlock(block), 0);
  EXPECT_EQ(driver.LastError(), 1167);
  EXPECT_NE(driver.ErrorText(), nullptr);
}

TEST_F(Transaction, AWritePausesFirstAndLeavesItemsAlone) {
  HostBlock block(1, 1, 2, 10, 10, 1, {10});
  line.port.replies.push_back(kAck + "010" + kCr);
  line.clock.onSleep = [&] { EXPECT_TRUE(line.port.writes.empty()) << "pause before the request"; };
  EXPECT_EQ(driver.ExecuteBlock(block), 1);
  EXPECT_EQ(line.clock.slept, 1u);
  ExpectUntouched(block);
}

TEST_F(Transaction, ZeroOrNegativeTimeoutsFailAfterAtMostOnePoll) {
  PortSettingsRec settings(0);
  settings.PutText(port_settings::kName, "COM1", 32);
  settings.Put32(port_settings::kBaud, 9600);
  for (int timeout : {0, -5}) {
    settings.Put16(port_settings::kTimeout, timeout);
    ASSERT_EQ(driver.OpenPort(settings), 1);
    EXPECT_EQ(driver.ReplyTimeout(), timeout);
    HostBlock block(1, 0, 8, 100, 100, 0, {100});
    const uint64_t before = line.clock.slept;
    EXPECT_EQ(driver.ExecuteBlock(block), 0);
    EXPECT_EQ(driver.LastError(), 5);
    EXPECT_LE(line.clock.slept - before, 10u);
  }
}

class PortControl : public ::testing::Test {
 protected:
  PortSettingsRec Settings(int baud, int stopBits = 1, int timeout = 500) {
    PortSettingsRec s;
    s.PutText(port_settings::kName, "COM3", 32);
    s.Put32(port_settings::kBaud, baud);
    s.Put8(port_settings::kDataBits, 7);
    s.Put16(port_settings::kStopBits, stopBits);
    s.Put8(port_settings::kParity, 2);
    s.Put16(port_settings::kTimeout, timeout);
    return s;
  }
  FakeLine line;
  DriverHandle driver;
};

TEST_F(PortControl, BaudLimitsAreRefusedWithoutAnErrorCode) {
  for (int baud : {299, 57601, 0, -9600}) {
    PortSettingsRec s = Settings(baud);
    EXPECT_EQ(driver.OpenPort(s), 0) << baud;
  }
  EXPECT_EQ(driver.LastError(), -1);
  EXPECT_TRUE(line.port.openedPaths.empty());
  for (int baud : {300, 57600}) {
    PortSettingsRec s = Settings(baud);
    EXPECT_EQ(driver.OpenPort(s), 1) << baud;
    EXPECT_EQ(line.port.lastSettings.baudRate, baud);
  }
}

TEST_F(PortControl, OpenPassesTheSettingsAndTheDevicePath) {
  PortSettingsRec s = Settings(19200, 2, 1234);
  ASSERT_EQ(driver.OpenPort(s), 1);
  EXPECT_EQ(line.port.openedPaths.back(), "//./COM3");
  EXPECT_EQ(line.port.lastSettings.dataBits, 7);
  EXPECT_EQ(line.port.lastSettings.parity, 2);
  EXPECT_TRUE(line.port.lastSettings.twoStopBits);
  EXPECT_EQ(line.port.prepared, 1);
  EXPECT_EQ(driver.ReplyTimeout(), 1234);
  EXPECT_EQ(driver.GetPortHandle(), 100);
  for (int code : {0, 1, 3, -2}) {
    PortSettingsRec other = Settings(9600, code);
    ASSERT_EQ(driver.OpenPort(other), 1);
    EXPECT_FALSE(line.port.lastSettings.twoStopBits) << code;
  }
}

TEST_F(PortControl, AMissingPortIsErrorThree) {
  line.port.openSucceeds = false;
  PortSettingsRec s = Settings(9600, 1, 777);
  EXPECT_EQ(driver.OpenPort(s), 0);
  EXPECT_EQ(driver.LastError(), 3);
  EXPECT_EQ(driver.ReplyTimeout(), 3000);
  EXPECT_EQ(driver.GetPortHandle(), -1);
}

TEST_F(PortControl, RefusedLineSettingsCloseThePortButKeepTheTimeout) {
  line.port.settingsAccepted = false;
  PortSettingsRec s = Settings(9600, 1, 777);
  EXPECT_EQ(driver.OpenPort(s), 0);
  EXPECT_EQ(driver.LastError(), 3);
  EXPECT_EQ(driver.ReplyTimeout(), 777);
  ASSERT_EQ(line.port.closed.size(), 1u);
  EXPECT_EQ(driver.GetPortHandle(), -1);
}

TEST_F(PortControl, CloseTwiceAndAFailedClose) {
  EXPECT_EQ(driver.ClosePort(), 1);  // never opened
  PortSettingsRec s = Settings(9600);
  ASSERT_EQ(driver.OpenPort(s), 1);
  line.port.closeSucceeds = false;
  EXPECT_EQ(driver.ClosePort(), 0);
  EXPECT_EQ(driver.GetPortHandle(), 100);
  line.port.closeSucceeds = true;
  EXPECT_EQ(driver.ClosePort(), 1);
  EXPECT_EQ(driver.ClosePort(), 1);
  EXPECT_EQ(line.port.closed.size(), 2u);
  EXPECT_EQ(driver.GetPortHandle(), -1);
}

TEST_F(PortControl, AnUnterminatedPortNameStopsAtItsField) {
  PortSettingsRec s = Settings(9600);
  memset(s.bytes + port_settings::kName, 'A', 32);
  ASSERT_EQ(driver.OpenPort(s), 1);
  EXPECT_EQ(line.port.openedPaths.back(), "//./" + std::string(32, 'A'));
}

}  // namespace
}  // namespace qvtest

namespace qvtest {
namespace {

// The early wait ends a transaction when the reply's last byte arrives; the
// poll at the first 10 ms step after it. Everything else is the same.
TEST(ReplyWaitModes, EarlyEndsAtTheReplyPollAtTheNextStep) {
  const std::string full = "\x06" "010" "1234" "7F\r";
  struct {
    const char* mode;
    std::vector<std::pair<uint32_t, std::string>> arrivals;  // ms after the request
    int result, error;
    uint32_t elapsedLow, elapsedHigh;
  } cases[] = {
      {"poll", {{33, full}}, 1, -1, 40, 40},
      {"early", {{33, full}}, 1, -1, 33, 33},
      {"poll", {{33, full.substr(0, 4)}, {36, full.substr(4)}}, 1, -1, 40, 40},
      {"early", {{33, full.substr(0, 4)}, {36, full.substr(4)}}, 1, -1, 36, 36},
      {"early", {{0, full}}, 1, -1, 0, 0},
      {"early", {}, 0, 5, 101, 110},
      {"poll", {}, 0, 5, 101, 110},
      {"early", {{33, "\x15\r"}}, 0, 6, 33, 33},
  };
  for (const auto& c : cases) {
    FakeLine line;
    line.settings.values["ReplyWait"] = c.mode;
    DriverHandle driver;
    driver.SetPortHandle(5);
    driver.SetReplyTimeout(100);
    for (const auto& a : c.arrivals) line.port.ArriveAfterNextWrite(a.first, a.second);
    HostBlock block(1, 0, 8, 100, 100, 0, {100});
    const uint32_t before = line.clock.tick;
    EXPECT_EQ(driver.ExecuteBlock(block), c.result) << c.mode;
    const uint32_t elapsed = line.clock.tick - before;
    EXPECT_GE(elapsed, c.elapsedLow) << c.mode << " " << c.arrivals.size();
    EXPECT_LE(elapsed, c.elapsedHigh) << c.mode << " " << c.arrivals.size();
    if (c.result == 1) {
      EXPECT_EQ(block.items[0].GetU32(item::kValue), 0x1234u);
    }
    if (c.error >= 0) {
      EXPECT_EQ(driver.LastError(), c.error);
    }
    // Each early wait takes its slice: a silent line costs one wait per 10 ms.
    if (std::string(c.mode) == "early") {
      EXPECT_LE(line.port.waits, 12) << "waits";
    }
  }
}

// With the station check on, a reply naming another station is erroneous
// data and no item changes; off, the contract's reading holds.
TEST(StationCheck, AReplyFromAnotherStationIsRefusedOnlyWhenOn) {
  struct {
    const char* check;
    std::string reply;
    int result;
  } cases[] = {
      {"0", "\x06" "020" "1234" "7F\r", 1},
      {"1", "\x06" "020" "1234" "7F\r", 0},
      {"1", "\x06" "010" "1234" "7F\r", 1},
      {"1", "\x06" "1f0" "1234" "7F\r", 0},
      {"1", std::string("\x06\r", 2), 0},  // no station digits at all
  };
  for (const auto& c : cases) {
    FakeLine line;
    line.settings.values["CheckStation"] = c.check;
    DriverHandle driver;
    driver.SetPortHandle(5);
    HostBlock block(1, 0, 8, 100, 100, 0, {100});
    line.port.replies.push_back(c.reply);
    EXPECT_EQ(driver.ExecuteBlock(block), c.result) << c.check << " " << c.reply;
    if (c.result == 0) {
      EXPECT_EQ(driver.LastError(), 6);
      for (size_t i = 4; i < sizeof block.items[0].bytes; ++i) ASSERT_EQ(block.items[0].bytes[i], 0xEE);
    }
  }
  // Station 31 is "1F" on the line; a controller answering in lower case
  // still names it.
  FakeLine line;
  line.settings.values["CheckStation"] = "1";
  DriverHandle driver;
  driver.SetPortHandle(5);
  HostBlock block(31, 0, 8, 100, 100, 0, {100});
  line.port.replies.push_back("\x06" "1f0" "1234" "7F\r");
  EXPECT_EQ(driver.ExecuteBlock(block), 1);
}

}  // namespace
}  // namespace qvtest
