// The provider's portable core: the pure parts table by table, then the entry points over the
// key library's stand-in beside the program, with a scripted prompt in place of the dialogs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "algorithms.h"
#include "blobs.h"
#include "config.h"
#include "container_name.h"
#include "entry.h"
#include "mvcsp.h"
#include "platform/dynlib.h"
#include "platform/thread_error.h"
#include "provider.h"
#include "reader_table.h"
#include "tw/testing.h"
#include "verify.h"

namespace {

using csp::Bytes;

constexpr MV_DWORD kMoreData = 234, kNoMoreItems = 259;
constexpr MV_DWORD kBadUid = 0x80090001, kBadHash = 0x80090002, kBadSignature = 0x80090006, kBadKeyState = 0x8009000B,
                   kExists = 0x8009000F, kBadKeyset = 0x80090016, kBadKeysetParam = 0x8009001F,
                   kSilentContext = 0x80090022, kCancelled = 0x88000061, kWrongPin = 0x8800003D,
                   kPinLocked = 0x8800003E, kNoFinger = 0x6955, kProcNotFound = 127;
constexpr MV_DWORD kVerifyContext = 0xF0000000, kNewKeyset = 8, kDeleteKeyset = 0x10, kSilent = 0x40;

TEST(ContainerName, Forms) {
  struct Case {
    std::string name;
    bool valid;
    std::string reader, container;
  };
  const std::string reader = "\\\\.\\Morvel USB Key 0";
  const Case cases[] = {
      {"", true, "", ""},
      {"keys", true, "", "keys"},
      {reader + "\\keys", true, "Morvel USB Key 0", "keys"},
      {reader, true, "Morvel USB Key 0", ""},
      {reader + "\\", true, "Morvel USB Key 0", ""},
      {"\\\\.\\\\keys", false, "", ""},
      {std::string(64, 'c'), true, "", std::string(64, 'c')},
      {std::string(65, 'c'), false, "", ""},
      {reader + "\\" + std::string(65, 'c'), false, "", ""},
      {"\\\\.\\" + std::string(256, 'r'), true, std::string(256, 'r'), ""},
      {"\\\\.\\" + std::string(257, 'r'), false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = csp::ParseContainerName(c.name.c_str());
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(parsed->reader, c.reader);
    EXPECT_EQ(parsed->container, c.container);
  }
  EXPECT_TRUE(csp::ParseContainerName(nullptr).has_value());
}

TEST(Algorithms, ListOfEighteenWithOwnCiphersXored) {
  const auto& list = csp::AlgorithmList();
  ASSERT_EQ(list.size(), 18u);
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0x8004, 160},  {0x8003, 128},  {0x8001, 128}, {0x8008, 288}, {0x2400, 1024}, {0xA400, 1024},
      {0x2400, 2048}, {0xA400, 2048}, {0x6602, 40},  {0x6602, 64},  {0x6602, 128},  {0x6801, 40},
      {0x6801, 128},  {0x6601, 56},   {0x6603, 168}, {0x6609, 112}, {0x00FF, 128},  {0x00FE, 128}};
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].id, expected[i].first) << list[i].name;
    EXPECT_EQ(list[i].bits, expected[i].second) << list[i].name;
  }
  EXPECT_EQ(csp::Canonical(0xFF), csp::kCalgSsf33);
  EXPECT_EQ(csp::Describe(0xFE).blockBytes, 16u);
  EXPECT_EQ(csp::Describe(0x8008).hashBytes, 36u);
  EXPECT_EQ(csp::Describe(0x1234).kind, csp::AlgorithmKind::Unknown);
}

TEST(Blobs, PublicKeyRoundTripAndTruncation) {
  const Bytes modulus = {0xC3, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                         0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  const Bytes blob = csp::PublicKeyBlob(csp::kCalgRsaKeyx, modulus, 65537, 128);
  ASSERT_EQ(blob.size(), 8u + 12u + 16u);
  EXPECT_EQ(blob[0], csp::kPublicKeyBlob);
  EXPECT_EQ(blob[8 + 12], 0x0F);  // little-endian modulus
  const auto parts = csp::ParsePublicKeyBlob(blob.data(), blob.size());
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->n, modulus);
  EXPECT_EQ(parts->e, (Bytes{0x01, 0x00, 0x01}));
  for (size_t cut = 0; cut < blob.size(); ++cut) EXPECT_FALSE(csp::ParsePublicKeyBlob(blob.data(), cut)) << cut;
  Bytes wrongMagic = blob;
  wrongMagic[8] = 'X';
  EXPECT_FALSE(csp::ParsePublicKeyBlob(wrongMagic.data(), wrongMagic.size()));
  EXPECT_FALSE(csp::ParsePrivateKeyBlob(blob.data(), blob.size()));
}

TEST(Blobs, SessionBlobsRejectWhatDoesNotFit) {
  const Bytes key = {1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes plain = csp::PlaintextKeyBlob(csp::kCalgDes, key);
  const auto parsed = csp::ParsePlaintextKeyBlob(plain.data(), plain.size());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->key, key);
  Bytes overlong = plain;
  overlong[8] = 9;  // claims one byte more than there is
  EXPECT_FALSE(csp::ParsePlaintextKeyBlob(overlong.data(), overlong.size()));
  const Bytes simple = csp::SimpleBlob(csp::kCalg3Des, csp::kCalgRsaKeyx, Bytes{0xAA, 0xBB});
  const auto wrapped = csp::ParseSimpleBlob(simple.data(), simple.size());
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->wrapAlg, csp::kCalgRsaKeyx);
  EXPECT_EQ(wrapped->key, (Bytes{0xAA, 0xBB}));
  EXPECT_FALSE(csp::ParseSimpleBlob(simple.data(), 12));
}

TEST(Config, ValuesAndFaults) {
  EXPECT_EQ(csp::DecipherValue(csp::EncipherValue("Morvel")), "Morvel");
  EXPECT_EQ(csp::DecipherValue(csp::EncipherValue("")), "");
  EXPECT_FALSE(csp::DecipherValue("not base64!"));
  EXPECT_FALSE(csp::DecipherValue("AAAA"));  // not a whole block
  std::string bad = csp::EncipherValue("x");
  bad[3] = bad[3] == 'A' ? 'B' : 'A';  // the padding no longer checks out (or the text changed)
  const auto damaged = csp::DecipherValue(bad);
  EXPECT_TRUE(!damaged || *damaged != "x");
  const csp::CIni ini = csp::CIni::Parse("; comment\n[40]\n 40040003 = " + csp::EncipherValue("100") +
                                         "\r\nnot a pair\n[10]\n10017304=" + csp::EncipherValue("caption") + "\n");
  EXPECT_EQ(ini.Get("40", 40040003), "100");
  EXPECT_EQ(ini.Get("10", 10017304), "caption");
  EXPECT_FALSE(ini.Get("40", 10017304));
  EXPECT_FALSE(csp::CIni::Load("no such file").Get("40", 40040003));
}

TEST(Config, WrongPinTextTakesOnlyTheCount) {
  EXPECT_EQ(csp::FormatCount(u"%d left", 3), u"3 left");
  EXPECT_EQ(csp::FormatCount(u"%s %n %d %d", 5), u"%s %n 5 %d");
  EXPECT_EQ(csp::FormatCount(u"none", 5), u"none");
  const struct {
    std::u16string format;
    int number;
    std::u16string text;
  } agreeing[] = {
      {u"Wrong PIN. %d {try|tries} left.", 1, u"Wrong PIN. 1 try left."},
      {u"Wrong PIN. %d {try|tries} left.", 5, u"Wrong PIN. 5 tries left."},
      {u"Wrong PIN. %d {try|tries} left.", 0, u"Wrong PIN. 0 tries left."},
      {u"{a|b} %d", 1, u"{a|b} 1"},  // only a choice after the number
      {u"%d {try", 1, u"1 {try"},    // not a whole choice
      {u"还剩%d次", 1, u"还剩1次"},
  };
  for (const auto& c : agreeing) EXPECT_EQ(csp::FormatCount(c.format, c.number), c.text);
  const csp::CIni english = csp::CIni::Load(std::string(CSP_CONFIG_SOURCES) + "/GEEN00001.dat");
  ASSERT_TRUE(english.Get("10", csp::kTextWrongPin));
  EXPECT_EQ(csp::FormatCount(csp::Text(english, csp::kTextWrongPin), 1), u"Wrong PIN. 1 try left.");
  EXPECT_EQ(csp::FormatCount(csp::Text(csp::CIni(), csp::kTextWrongPin), 1), u"Wrong PIN. 1 try left.");
}

TEST(ReaderTable, TenEntriesReadersInOrderPinsBySerial) {
  csp::ReaderTable table;
  int dummy[10];
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(table.AddReader("r" + std::to_string(i), &dummy[i]).ok());
  ASSERT_TRUE(table.StorePin("SERIAL", csp::Secret("1234")).ok());
  const csp::Result full = table.AddReader("r9", &dummy[9]);
  EXPECT_EQ(full.status, csp::Status::kTableFull);
  EXPECT_TRUE(table.AddReader("r3", &dummy[0]).ok());  // a known reader only changes its handle
  EXPECT_EQ(table.Device("r3"), &dummy[0]);
  EXPECT_EQ(table.Readers().back(), "r8");
  EXPECT_EQ(table.Pin("SERIAL")->text(), "1234");
  EXPECT_EQ(table.RemoveReader("r8"), &dummy[8]);
  EXPECT_EQ(table.RemoveReader("r8"), nullptr);
  table.ForgetPin("SERIAL");
  EXPECT_FALSE(table.Pin("SERIAL"));
  EXPECT_EQ(table.Clear().size(), 8u);
  EXPECT_TRUE(table.Readers().empty());
}

// ---- The entry points over the stand-in

class FakeView : public csp::FingerprintView {
 public:
  FakeView(std::vector<Event>* events, int closeAfter, std::function<void(int)> onWait)
      : events_(events), closeAfter_(closeAfter), onWait_(std::move(onWait)) {}
  void Post(Event e) override { events_->push_back(e); }
  bool WaitClosed(uint32_t) override {
    if (onWait_) onWait_(++waits_);
    return closeAfter_ >= 0 && --closeAfter_ < 0;
  }

 private:
  std::vector<Event>* events_;
  int closeAfter_;
  std::function<void(int)> onWait_;
  int waits_ = 0;
};

// Answers the dialogs from a script and remembers what they showed.
class ScriptedPrompt : public csp::Prompt {
 public:
  std::deque<std::optional<std::string>> pins;  // nullopt: Cancel
  std::deque<bool> retries;
  std::vector<std::u16string> captions, warnings, locked;
  std::vector<csp::FingerprintView::Event> events;
  int fingerprintDialogs = 0;
  int closeFingerprintAfter = -1;              // waits before the person closes it; -1: never
  std::function<void(int)> onFingerprintWait;  // called with the number of each wait

  std::optional<csp::Secret> AskPin(void*, const std::u16string& caption) override {
    captions.push_back(caption);
    if (pins.empty()) return std::nullopt;
    auto pin = pins.front();
    pins.pop_front();
    return pin ? std::optional<csp::Secret>(csp::Secret(*pin)) : std::nullopt;
  }
  bool AskRetry(void*, const std::u16string& text) override {
    warnings.push_back(text);
    if (retries.empty()) return false;
    const bool r = retries.front();
    retries.pop_front();
    return r;
  }
  void ShowLocked(void*, const std::u16string& text) override { locked.push_back(text); }
  std::unique_ptr<csp::FingerprintView> ShowFingerprint(void*) override {
    ++fingerprintDialogs;
    return std::make_unique<FakeView>(&events, closeFingerprintAfter, onFingerprintWait);
  }
};

MV_DWORD LastError() { return platform::ThreadError(); }

// Starts the provider once for the program, before any test: its log then goes to a data
// folder of the program's own, and the start runs in a working folder that holds a file named
// like a log at a fixed place on the system drive (here the backslashes make it one name).
class ProviderStart : public ::testing::Environment {
 public:
  static constexpr const char* kFixedLog = "C:\\LogFileCSP.txt";
  void SetUp() override {
    root = std::filesystem::temp_directory_path() / ("csp_core_start_" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "work");
    tw::testing::SetEnv("XDG_DATA_HOME", (root / "data").string().c_str());
    std::ofstream(root / "work" / kFixedLog, std::ios::binary) << "not the provider's";
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(root / "work");
    csp::Provider::Get().Start();
    std::filesystem::current_path(previous);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::filesystem::path root;
};
ProviderStart* const g_start = static_cast<ProviderStart*>(::testing::AddGlobalTestEnvironment(new ProviderStart));

class Provider : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<tw::testing::WorkDirectory>("csp_core", false);
    setenv("TARNWICK_GEA_STORE", store_->path().c_str(), 1);
    auto prompt = std::make_unique<ScriptedPrompt>();
    prompt_ = prompt.get();
    csp::Provider::Get().SetPromptForTesting(std::move(prompt));
    library_ = platform::LoadDynLib("GEA00001.dll");
    ASSERT_NE(library_, nullptr) << platform::DynLibError();
    control_ = reinterpret_cast<void (*)(const char*, int)>(platform::DynSymbol(library_, "SimGEA_Control"));
    calls_ = reinterpret_cast<int (*)(const char*)>(platform::DynSymbol(library_, "SimGEA_Calls"));
    ASSERT_NE(control_, nullptr);
    ASSERT_NE(calls_, nullptr);
    control_("reset", 0);
    control_("erase", 0);
    control_("logout", 0);
  }
  void TearDown() override {
    EXPECT_EQ(csp::Provider::Get().OpenContexts(), 0) << "a test left a context open";
    csp::Provider::Get().SetPromptForTesting(nullptr);
    platform::FreeDynLib(library_);
  }

  MV_HANDLE Acquire(const char* container, MV_DWORD flags) {
    MV_HANDLE prov = 0;
    EXPECT_TRUE(RelAcquireContext(&prov, container, flags, nullptr)) << std::hex << LastError();
    return prov;
  }
  // A container with a signature key pair of `bits`, the PIN cached by the provider.
  MV_HANDLE Keyed(const char* container, MV_DWORD usage = 2, MV_DWORD bits = 1024) {
    prompt_->pins = {std::string("12345678")};
    MV_HANDLE prov = Acquire(container, kNewKeyset);
    MV_HANDLE key = 0;
    EXPECT_TRUE(RelGenKey(prov, usage, bits << 16, &key)) << std::hex << LastError();
    RelDestroyKey(prov, key);
    return prov;
  }
  // The key's blob of `type`; empty when the export fails.
  Bytes Export(MV_HANDLE prov, MV_HANDLE key, MV_DWORD type) {
    MV_DWORD size = 0;
    if (!RelExportKey(prov, key, 0, type, 0, nullptr, &size)) return Bytes();
    Bytes blob(size);
    if (!RelExportKey(prov, key, 0, type, 0, blob.data(), &size)) return Bytes();
    blob.resize(size);
    return blob;
  }
  // The signature, or empty with the error in *error (read before the hash is destroyed).
  Bytes Sign(MV_HANDLE prov, const std::string& message, MV_DWORD* error = nullptr) {
    MV_HANDLE hash = 0;
    EXPECT_TRUE(RelCreateHash(prov, csp::kCalgSha1, 0, 0, &hash));
    EXPECT_TRUE(RelHashData(prov, hash, reinterpret_cast<const unsigned char*>(message.data()), message.size(), 0));
    MV_DWORD size = 0;
    bool ok = RelSignHash(prov, hash, 2, nullptr, 0, nullptr, &size);
    Bytes signature(size);
    if (ok) ok = RelSignHash(prov, hash, 2, nullptr, 0, signature.data(), &size);
    if (error != nullptr) *error = ok ? 0 : LastError();
    RelDestroyHash(prov, hash);
    if (!ok) return Bytes();
    signature.resize(size);
    return signature;
  }
  MV_DWORD SignError(MV_HANDLE prov) {
    MV_DWORD error = 0;
    Sign(prov, "x", &error);
    return error;
  }
  // 0 when the signature verifies, else the error.
  MV_DWORD Verifies(MV_HANDLE prov, MV_HANDLE key, const std::string& message, const Bytes& signature) {
    MV_HANDLE hash = 0;
    EXPECT_TRUE(RelCreateHash(prov, csp::kCalgSha1, 0, 0, &hash));
    EXPECT_TRUE(RelHashData(prov, hash, reinterpret_cast<const unsigned char*>(message.data()), message.size(), 0));
    const bool ok = RelVerifySignature(prov, hash, signature.data(), signature.size(), key, nullptr, 0);
    const MV_DWORD error = ok ? 0 : LastError();
    RelDestroyHash(prov, hash);
    return error;
  }

  std::unique_ptr<tw::testing::WorkDirectory> store_;
  ScriptedPrompt* prompt_ = nullptr;
  platform::DynLib library_ = nullptr;
  void (*control_)(const char*, int) = nullptr;
  int (*calls_)(const char*) = nullptr;
};

TEST_F(Provider, SignsAndVerifiesThroughTheExportedPublicKey) {
  MV_HANDLE prov = Keyed("sign");
  MV_HANDLE key = 0;
  ASSERT_TRUE(RelGetUserKey(prov, 2, &key));
  const Bytes blob = Export(prov, key, csp::kPublicKeyBlob);
  ASSERT_FALSE(blob.empty()) << std::hex << LastError();
  MV_HANDLE imported = 0;
  ASSERT_TRUE(RelImportKey(prov, blob.data(), blob.size(), 0, 0, &imported));
  const Bytes signature = Sign(prov, "message");
  ASSERT_EQ(signature.size(), 128u);
  EXPECT_EQ(Verifies(prov, imported, "message", signature), 0u);
  EXPECT_EQ(Verifies(prov, imported, "massage", signature), kBadSignature);
  // The dialog came once, for the new container; the signature used the cached PIN.
  EXPECT_EQ(prompt_->captions.size(), 1u);
  RelDestroyKey(prov, imported);
  RelDestroyKey(prov, key);
  EXPECT_TRUE(RelReleaseContext(prov, 0));
}

TEST_F(Provider, WrongPinRetryThenRightPin) {
  MV_HANDLE prov = Keyed("retry");
  ASSERT_TRUE(RelReleaseContext(prov, 0));
  control_("logout", 0);
  prov = Acquire("retry", 0);
  prompt_->pins = {std::string("11111111"), std::string("12345678")};
  prompt_->retries = {true};
  EXPECT_EQ(SignError(prov), 0u);
  ASSERT_EQ(prompt_->warnings.size(), 1u);
  EXPECT_EQ(prompt_->warnings[0], u"Wrong PIN. 5 tries left.\nTry again?");
  EXPECT_EQ(prompt_->captions.back(), u"Enter the PIN of your USB key");
  EXPECT_TRUE(RelReleaseContext(prov, 0));
}

TEST_F(Provider, DialogEndsWithCancelWrongPinOrLock) {
  MV_HANDLE prov = Keyed("ends");
  struct Case {
    std::deque<std::optional<std::string>> pins;
    std::deque<bool> retries;
    MV_DWORD error;
  };
  const Case cases[] = {
      {{std::nullopt}, {}, kCancelled},
      {{std::string("0")}, {false}, kWrongPin},
      {{std::string("0"), std::string("0"), std::string("0"), std::string("0"), std::string("0")},
       {true, true, true, true},
       kPinLocked},
  };
  for (const Case& c : cases) {
    csp::Provider::Get().table().ForgetPin("2013500000000001");
    control_("logout", 0);
    prompt_->pins = c.pins;
    prompt_->retries = c.retries;
    EXPECT_EQ(SignError(prov), c.error);
  }
  ASSERT_EQ(prompt_->locked.size(), 1u);
  EXPECT_EQ(prompt_->locked[0], u"The PIN of your USB key is locked. Ask your administrator to unlock it.");
  // A silent context never asks.
  control_("unlock", 0);
  MV_HANDLE silent = Acquire("ends", kSilent);
  const size_t asked = prompt_->captions.size();
  csp::Provider::Get().table().ForgetPin("2013500000000001");
  EXPECT_EQ(SignError(silent), kSilentContext);
  EXPECT_EQ(prompt_->captions.size(), asked);
  RelReleaseContext(silent, 0);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, PinParameterVerifiesDirectlyAndCachesForLaterContexts) {
  MV_HANDLE verify = Acquire(nullptr, kVerifyContext);
  const char* wrong = "87654321";
  EXPECT_FALSE(RelSetProvParam(verify, csp::kPpSignaturePin, reinterpret_cast<const unsigned char*>(wrong), 0));
  EXPECT_EQ(LastError(), kWrongPin);
  const char* right = "12345678";
  EXPECT_TRUE(RelSetProvParam(verify, csp::kPpKeyExchangePin, reinterpret_cast<const unsigned char*>(right), 0));
  // Other parameters are accepted and change nothing.
  EXPECT_TRUE(RelSetProvParam(verify, 0x1234, reinterpret_cast<const unsigned char*>(right), 0));
  MV_HANDLE created = Acquire("cached", kNewKeyset);
  EXPECT_TRUE(prompt_->captions.empty());
  RelReleaseContext(created, 0);
  RelReleaseContext(verify, 0);
}

TEST_F(Provider, CachedPinTheKeyRefusesIsForgotten) {
  MV_HANDLE verify = Acquire(nullptr, kVerifyContext);
  ASSERT_TRUE(csp::Provider::Get().table().StorePin("2013500000000001", csp::Secret("99999999")).ok());
  MV_HANDLE prov = 0;
  EXPECT_FALSE(RelAcquireContext(&prov, "refused", kNewKeyset, nullptr));
  EXPECT_EQ(LastError(), kWrongPin);
  EXPECT_FALSE(csp::Provider::Get().table().Pin("2013500000000001"));
  RelReleaseContext(verify, 0);
}

TEST_F(Provider, Fingerprint) {
  MV_HANDLE prov = Keyed("finger");
  control_("category", 4);
  struct Case {
    int fingerAfter, match, unit, closeAfter;
    MV_DWORD error;
    std::vector<csp::FingerprintView::Event> events;
    int verifies;
    // At wait `at` the key library itself starts failing: `control` set to `value`.
    int at;
    const char* control;
    MV_DWORD value;
  };
  using E = csp::FingerprintView::Event;
  const Case cases[] = {
      {2, 1, 0, -1, 0, {E::Waiting, E::Waiting, E::Success}, 3, 0, "", 0},
      {0, 2, 0, -1, 0, {E::Success}, 2, 0, "", 0},
      {0, 0, 0, 1, kNoFinger, {E::Mismatch, E::Mismatch}, 4, 0, "", 0},
      {100, 1, 0, 2, kNoFinger, {E::Waiting, E::Waiting, E::Waiting}, 3, 0, "", 0},
      {0, 1, 0x6A88, -1, 0x6A88, {}, 0, 0, "", 0},
      // The key pulled out while the dialog waits for a finger: its handle is gone.
      {100, 1, 0, 10, 0x88000004, {E::Waiting, E::Waiting, E::Error}, 3, 2, "present", 0},
      // After a mismatch, the library fails on the next capture.
      {0, 0, 0, 10, 0x88000005, {E::Mismatch, E::Error}, 3, 1, "HSFingerprintVerify", 0x88000005},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.fingerAfter << " " << c.control);
    control_("present", -1);
    control_("HSFingerprintVerify", 0x7FFFFFFF);
    control_("logout", 0);
    control_("finger_after", c.fingerAfter);
    control_("finger_match", c.match);
    control_("fp_unit", c.unit);
    prompt_->events.clear();
    prompt_->closeFingerprintAfter = c.closeAfter;
    prompt_->onFingerprintWait = [&](int wait) {
      if (wait == c.at) control_(c.control, static_cast<int>(c.value));
    };
    const int before = calls_("HSFingerprintVerify");
    EXPECT_EQ(SignError(prov), c.error);
    EXPECT_EQ(prompt_->events, c.events);
    EXPECT_EQ(calls_("HSFingerprintVerify") - before, c.verifies);
  }
  control_("present", -1);
  control_("HSFingerprintVerify", 0x7FFFFFFF);
  prompt_->onFingerprintWait = nullptr;
  // Once verified, the key library's cache spares the dialog.
  control_("fp_unit", 0);
  control_("finger_after", 0);
  control_("finger_match", 1);
  control_("logout", 0);
  ASSERT_EQ(SignError(prov), 0u);
  const int dialogs = prompt_->fingerprintDialogs;
  EXPECT_EQ(SignError(prov), 0u);
  EXPECT_EQ(prompt_->fingerprintDialogs, dialogs);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, BuffersAreCheckedAndNeverOverrun) {
  MV_HANDLE prov = Keyed("buffers");
  MV_HANDLE pair = 0, session = 0;
  ASSERT_TRUE(RelGetUserKey(prov, 2, &pair));
  ASSERT_TRUE(RelGenKey(prov, csp::kCalg3Des, 0, &session));
  Bytes certificate(200, 0x5A);  // a DER length in the long form: 0x81 0xC5
  certificate[0] = 0x30;
  certificate[1] = 0x81;
  certificate[2] = 197;
  ASSERT_TRUE(RelSetKeyParam(prov, pair, csp::kKpCertificate, certificate.data(), 0)) << std::hex << LastError();
  using Call = std::function<MV_BOOL(unsigned char*, MV_DWORD*)>;
  const auto provParam = [&](MV_DWORD param) -> Call {
    return [=](unsigned char* data, MV_DWORD* size) { return RelGetProvParam(prov, param, data, size, 1); };
  };
  const auto keyParam = [&](MV_HANDLE key, MV_DWORD param) -> Call {
    return [=](unsigned char* data, MV_DWORD* size) { return RelGetKeyParam(prov, key, param, data, size, 0); };
  };
  // A null buffer answers `asked`; one byte less than `needed` fails with the size needed.
  // Container names are asked for at the longest a name may be, so one buffer serves the walk.
  struct Case {
    const char* name;
    Call call;
    MV_DWORD asked, needed;
  };
  const Case cases[] = {
      {"name", provParam(csp::kPpName), 38, 38},
      {"container", provParam(csp::kPpContainer), 8, 8},
      {"version", provParam(csp::kPpVersion), 4, 4},
      {"algorithms", provParam(csp::kPpEnumAlgs), 32, 32},
      {"algorithms ex", provParam(csp::kPpEnumAlgsEx), 88, 88},
      {"containers", provParam(csp::kPpEnumContainers), 65, 8},
      {"certificate", keyParam(pair, csp::kKpCertificate), 200, 200},
      {"iv", keyParam(session, csp::kKpIv), 8, 8},
      {"public key",
       [&](unsigned char* data, MV_DWORD* size) {
         return RelExportKey(prov, pair, 0, csp::kPublicKeyBlob, 0, data, size);
       },
       8 + 12 + 128, 8 + 12 + 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MV_DWORD size = 0;
    ASSERT_TRUE(c.call(nullptr, &size)) << std::hex << LastError();
    EXPECT_EQ(size, c.asked);
    // One byte short, then just enough: the guard bytes past the length given stay.
    for (const MV_DWORD room : {c.needed - 1, c.needed}) {
      unsigned char buffer[256];
      std::memset(buffer, 0xEE, sizeof buffer);
      size = room;
      const MV_DWORD error = c.call(buffer, &size) ? 0 : LastError();
      EXPECT_EQ(error, room < c.needed ? kMoreData : 0u) << room;
      EXPECT_EQ(size, c.needed);
      for (size_t i = room; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xEE) << room << " " << i;
    }
  }
  Bytes back(certificate.size());
  MV_DWORD length = static_cast<MV_DWORD>(back.size());
  ASSERT_TRUE(RelGetKeyParam(prov, pair, csp::kKpCertificate, back.data(), &length, 0));
  EXPECT_EQ(back, certificate);
  RelDestroyKey(prov, session);
  RelDestroyKey(prov, pair);
  MV_HANDLE hash = 0;
  ASSERT_TRUE(RelCreateHash(prov, csp::kCalgMd5, 0, 0, &hash));
  unsigned char value[16];
  MV_DWORD size = 8;
  EXPECT_FALSE(RelGetHashParam(prov, hash, csp::kHpHashVal, value, &size, 0));
  EXPECT_EQ(LastError(), kMoreData);
  EXPECT_EQ(size, 16u);
  // The hash is still open after a failed query.
  EXPECT_TRUE(RelHashData(prov, hash, reinterpret_cast<const unsigned char*>("abc"), 3, 0));
  size = sizeof value;
  ASSERT_TRUE(RelGetHashParam(prov, hash, csp::kHpHashVal, value, &size, 0));
  EXPECT_EQ(Bytes(value, value + 3), (Bytes{0x90, 0x01, 0x50}));  // MD5("abc") = 900150983cd2...
  EXPECT_FALSE(RelHashData(prov, hash, reinterpret_cast<const unsigned char*>("x"), 1, 0));
  RelDestroyHash(prov, hash);
  unsigned char signature[64];
  size = sizeof signature;
  EXPECT_EQ(SignError(prov), 0u);
  ASSERT_TRUE(RelCreateHash(prov, csp::kCalgSha1, 0, 0, &hash));
  EXPECT_FALSE(RelSignHash(prov, hash, 2, nullptr, 0, signature, &size));
  EXPECT_EQ(LastError(), kMoreData);
  EXPECT_EQ(size, 128u);
  RelDestroyHash(prov, hash);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, EnumeratesAlgorithmsAndContainersToTheEnd) {
  MV_HANDLE prov = Keyed("first");
  RelReleaseContext(Keyed("second"), 0);
  int algorithms = 0;
  unsigned char entry[32];
  for (MV_DWORD flags = 1;; flags = 0) {
    MV_DWORD size = sizeof entry;
    if (!RelGetProvParam(prov, csp::kPpEnumAlgs, entry, &size, flags)) break;
    ++algorithms;
  }
  EXPECT_EQ(LastError(), kNoMoreItems);
  EXPECT_EQ(algorithms, 18);
  std::vector<std::string> names;
  for (MV_DWORD flags = 1;; flags = 0) {
    char name[65];
    MV_DWORD size = sizeof name;
    if (!RelGetProvParam(prov, csp::kPpEnumContainers, reinterpret_cast<unsigned char*>(name), &size, flags)) break;
    names.emplace_back(name);
  }
  EXPECT_EQ(LastError(), kNoMoreItems);
  EXPECT_EQ(names, (std::vector<std::string>{"first", "second"}));
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, ContainersAcquireFlags) {
  RelReleaseContext(Keyed("kept"), 0);
  MV_HANDLE prov = 0;
  struct Case {
    const char* name;
    MV_DWORD flags;
    MV_DWORD error;
  };
  const std::string longName(65, 'x');
  const Case cases[] = {
      {"kept", kNewKeyset, kExists},
      {"absent", 0, kBadKeyset},
      {"absent", kDeleteKeyset, kBadKeyset},
      {longName.c_str(), 0, kBadKeysetParam},
      {"\\\\.\\Morvel USB Key 7\\kept", 0, 0x80090020},
      {"kept", 0x100, 0x80090009},
      {"kept", kVerifyContext | kNewKeyset, 0x80090009},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(RelAcquireContext(&prov, c.name, c.flags, nullptr));
    EXPECT_EQ(LastError(), c.error);
  }
  // The default container is the first one; on a reader named in full too.
  prov = Acquire("\\\\.\\Morvel USB Key 0\\", 0);
  char name[65];
  MV_DWORD size = sizeof name;
  ASSERT_TRUE(RelGetProvParam(prov, csp::kPpContainer, reinterpret_cast<unsigned char*>(name), &size, 0));
  EXPECT_STREQ(name, "kept");
  RelReleaseContext(prov, 0);
  EXPECT_TRUE(RelAcquireContext(&prov, "kept", kDeleteKeyset, nullptr)) << std::hex << LastError();
  EXPECT_EQ(prov, 0u);
  // A key without containers: the default one is no container at all, and that is no failure.
  prov = Acquire(nullptr, 0);
  size = sizeof name;
  EXPECT_FALSE(RelGetProvParam(prov, csp::kPpContainer, reinterpret_cast<unsigned char*>(name), &size, 0));
  EXPECT_EQ(LastError(), kBadKeyset);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, HandlesOfOthersAreRefused) {
  MV_HANDLE a = Acquire(nullptr, kVerifyContext), b = Acquire(nullptr, kVerifyContext);
  MV_HANDLE hash = 0;
  ASSERT_TRUE(RelCreateHash(a, csp::kCalgSha1, 0, 0, &hash));
  EXPECT_FALSE(RelHashData(b, hash, reinterpret_cast<const unsigned char*>("x"), 1, 0));
  EXPECT_EQ(LastError(), kBadHash);
  EXPECT_FALSE(RelGenRandom(0x1234, 4, reinterpret_cast<unsigned char*>(&hash)));
  EXPECT_EQ(LastError(), kBadUid);
  EXPECT_TRUE(RelReleaseContext(a, 0));
  EXPECT_FALSE(RelReleaseContext(a, 0));
  EXPECT_EQ(LastError(), kBadUid);
  EXPECT_FALSE(RelDuplicateHash(b, hash, nullptr, 0, &hash));
  EXPECT_EQ(LastError(), 120u);
  RelReleaseContext(b, 0);
}

// Every entry point that names a key or a hash refuses, in this order: a handle that is no
// context, a key or hash not of that context, a missing pointer of the caller's, flags it does
// not know. Each row is called with one fault fewer each time.
TEST_F(Provider, EntryPointsRefuseContextObjectPointerFlagsInThatOrder) {
  constexpr MV_DWORD kBadKey = 0x80090003, kBadFlags = 0x80090009, kInvalidParameter = 87;
  MV_HANDLE prov = Acquire(nullptr, kVerifyContext), other = Acquire(nullptr, kVerifyContext);
  MV_HANDLE key = 0, hash = 0, foreignKey = 0, foreignHash = 0;
  ASSERT_TRUE(RelGenKey(prov, csp::kCalgRc4, csp::kCryptExportable, &key));
  ASSERT_TRUE(RelCreateHash(prov, csp::kCalgSha1, 0, 0, &hash));
  ASSERT_TRUE(RelGenKey(other, csp::kCalgRc4, 0, &foreignKey));
  ASSERT_TRUE(RelCreateHash(other, csp::kCalgSha1, 0, 0, &foreignHash));
  unsigned char buffer[64] = {1};
  MV_DWORD length = sizeof buffer;
  MV_HANDLE made = 0;
  // The call with the context, the named object (key or hash), the pointer and the flags given.
  using Entry = std::function<bool(MV_HANDLE, MV_HANDLE, bool, MV_DWORD)>;
  struct Row {
    const char* name;
    bool onKey;  // else on a hash
    Entry call;
  };
  const Row rows[] = {
      {"GetKeyParam", true,
       [&](MV_HANDLE p, MV_HANDLE k, bool given, MV_DWORD f) {
         return RelGetKeyParam(p, k, csp::kKpKeyLen, buffer, given ? &length : nullptr, f);
       }},
      {"SetKeyParam", true,
       [&](MV_HANDLE p, MV_HANDLE k, bool given, MV_DWORD f) {
         return RelSetKeyParam(p, k, csp::kKpSalt, given ? buffer : nullptr, f);
       }},
      {"ExportKey", true,
       [&](MV_HANDLE p, MV_HANDLE k, bool given, MV_DWORD f) {
         return RelExportKey(p, k, 0, csp::kPlaintextKeyBlob, f, nullptr, given ? &length : nullptr);
       }},
      {"DuplicateKey", true,
       [&](MV_HANDLE p, MV_HANDLE k, bool given, MV_DWORD f) {
         return RelDuplicateKey(p, k, nullptr, f, given ? &made : nullptr);
       }},
      {"Encrypt", true,
       [&](MV_HANDLE p, MV_HANDLE k, bool given, MV_DWORD f) {
         length = 0;
         return RelEncrypt(p, k, 0, 0, f, buffer, given ? &length : nullptr, sizeof buffer);
       }},
      {"HashData", false,
       [&](MV_HANDLE p, MV_HANDLE h, bool given, MV_DWORD f) {
         return RelHashData(p, h, given ? buffer : nullptr, 1, f);
       }},
      {"GetHashParam", false,
       [&](MV_HANDLE p, MV_HANDLE h, bool given, MV_DWORD f) {
         return RelGetHashParam(p, h, csp::kHpAlgid, buffer, given ? &length : nullptr, f);
       }},
      {"SetHashParam", false,
       [&](MV_HANDLE p, MV_HANDLE h, bool given, MV_DWORD f) {
         return RelSetHashParam(p, h, csp::kHpAlgid, given ? buffer : nullptr, f);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const MV_HANDLE mine = row.onKey ? key : hash, foreign = row.onKey ? foreignKey : foreignHash;
    length = sizeof buffer;
    EXPECT_FALSE(row.call(0x1234, foreign, false, 0x100));
    EXPECT_EQ(LastError(), kBadUid);
    EXPECT_FALSE(row.call(prov, foreign, false, 0x100));
    EXPECT_EQ(LastError(), row.onKey ? kBadKey : kBadHash);
    EXPECT_FALSE(row.call(prov, mine, false, 0x100));
    EXPECT_EQ(LastError(), kInvalidParameter);
    EXPECT_FALSE(row.call(prov, mine, true, 0x100));
    EXPECT_EQ(LastError(), kBadFlags);
  }
  // A hash named beside the key comes between the key and the pointers.
  EXPECT_FALSE(RelEncrypt(prov, key, foreignHash, 0, 0x100, buffer, nullptr, sizeof buffer));
  EXPECT_EQ(LastError(), kBadHash);
  RelReleaseContext(other, 0);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, SessionKeysInPiecesAndTheirBlobs) {
  MV_HANDLE prov = Keyed("session", 1);
  MV_HANDLE exchange = 0;
  ASSERT_TRUE(RelGetUserKey(prov, 1, &exchange));
  for (MV_ALG_ID alg : {csp::kCalg3Des, csp::kCalgRc2, csp::kCalgRc4, csp::kCalgSsf33 ^ 0x6600, csp::kCalgScb2}) {
    SCOPED_TRACE(alg);
    MV_HANDLE key = 0;
    ASSERT_TRUE(RelGenKey(prov, alg, csp::kCryptExportable, &key)) << std::hex << LastError();
    Bytes data(40);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
    Bytes buffer(64);
    std::copy(data.begin(), data.end(), buffer.begin());
    // 32 bytes in a first call, 8 in the final one; the same as all at once.
    MV_DWORD first = 32, last = 8;
    ASSERT_TRUE(RelEncrypt(prov, key, 0, 0, 0, buffer.data(), &first, 32));
    ASSERT_TRUE(RelEncrypt(prov, key, 0, 1, 0, buffer.data() + first, &last, 64 - first));
    Bytes whole(64);
    std::copy(data.begin(), data.end(), whole.begin());
    MV_DWORD length = 40;
    ASSERT_TRUE(RelEncrypt(prov, key, 0, 1, 0, whole.data(), &length, 64));
    ASSERT_EQ(first + last, length);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), Bytes(whole.begin(), whole.begin() + length));
    ASSERT_TRUE(RelDecrypt(prov, key, 0, 1, 0, whole.data(), &length));
    EXPECT_EQ(Bytes(whole.begin(), whole.begin() + length), data);
    // Wrapped under the exchange key, it comes back the same.
    MV_DWORD size = 0;
    ASSERT_TRUE(RelExportKey(prov, key, exchange, csp::kSimpleBlob, 0, nullptr, &size));
    Bytes blob(size);
    ASSERT_TRUE(RelExportKey(prov, key, exchange, csp::kSimpleBlob, 0, blob.data(), &size));
    MV_HANDLE back = 0;
    ASSERT_TRUE(RelImportKey(prov, blob.data(), size, exchange, 0, &back)) << std::hex << LastError();
    std::copy(data.begin(), data.end(), whole.begin());
    length = 40;
    ASSERT_TRUE(RelEncrypt(prov, back, 0, 1, 0, whole.data(), &length, 64));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), Bytes(whole.begin(), whole.begin() + length));
    RelDestroyKey(prov, back);
    RelDestroyKey(prov, key);
  }
  // A partial block before the end, a buffer too small for the padding.
  MV_HANDLE des = 0;
  ASSERT_TRUE(RelGenKey(prov, csp::kCalgDes, 0, &des));
  unsigned char data[16] = {};
  MV_DWORD length = 7;
  EXPECT_FALSE(RelEncrypt(prov, des, 0, 0, 0, data, &length, sizeof data));
  length = 8;
  EXPECT_FALSE(RelEncrypt(prov, des, 0, 1, 0, data, &length, 8));
  EXPECT_EQ(LastError(), kMoreData);
  EXPECT_EQ(length, 16u);
  RelDestroyKey(prov, des);
  RelDestroyKey(prov, exchange);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, AKeyLeavesOnlyWithTheExportPermissionWhichNeverWidens) {
  MV_HANDLE prov = Keyed("permissions", 1);
  MV_HANDLE exchange = 0;
  ASSERT_TRUE(RelGetUserKey(prov, 1, &exchange));
  const auto permissions = [&](MV_HANDLE key) {
    MV_DWORD value = 0, size = sizeof value;
    EXPECT_TRUE(RelGetKeyParam(prov, key, csp::kKpPermissions, reinterpret_cast<unsigned char*>(&value), &size, 0));
    return value;
  };
  const auto setPermissions = [&](MV_HANDLE key, MV_DWORD value) -> MV_DWORD {
    return RelSetKeyParam(prov, key, csp::kKpPermissions, reinterpret_cast<const unsigned char*>(&value), 0)
               ? 0
               : LastError();
  };
  const auto exportError = [&](MV_HANDLE key, MV_HANDLE wrap, MV_DWORD type) -> MV_DWORD {
    MV_DWORD size = 0;
    return RelExportKey(prov, key, wrap, type, 0, nullptr, &size) ? 0 : LastError();
  };
  constexpr MV_DWORD kExport = 4, kAll = 0x3F;
  MV_HANDLE locked = 0, open = 0;
  ASSERT_TRUE(RelGenKey(prov, csp::kCalg3Des, 0, &locked));
  ASSERT_TRUE(RelGenKey(prov, csp::kCalg3Des, csp::kCryptExportable, &open));
  EXPECT_EQ(permissions(locked), kAll & ~kExport);
  EXPECT_EQ(permissions(open), kAll);
  // Adding the export permission (or any other) is refused and changes nothing.
  EXPECT_EQ(setPermissions(locked, kAll), kBadKeyState);
  EXPECT_EQ(setPermissions(locked, kExport), kBadKeyState);
  EXPECT_EQ(setPermissions(exchange, kAll), kBadKeyState);
  EXPECT_EQ(permissions(locked), kAll & ~kExport);
  for (MV_DWORD type : {csp::kPlaintextKeyBlob, csp::kSimpleBlob}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(exportError(locked, exchange, type), kBadKeyState);
    EXPECT_EQ(exportError(open, exchange, type), 0u);
  }
  // Narrowing is allowed, and holds.
  EXPECT_EQ(setPermissions(open, kAll & ~kExport), 0u);
  EXPECT_EQ(exportError(open, exchange, csp::kSimpleBlob), kBadKeyState);
  EXPECT_EQ(setPermissions(open, kAll), kBadKeyState);
  RelDestroyKey(prov, open);
  RelDestroyKey(prov, locked);
  RelDestroyKey(prov, exchange);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, LengthsNearFourGibibytesAreRefusedNotWrapped) {
  MV_HANDLE prov = Keyed("lengths", 1);
  MV_HANDLE exchange = 0, des = 0, rc4 = 0;
  ASSERT_TRUE(RelGetUserKey(prov, 1, &exchange));
  ASSERT_TRUE(RelGenKey(prov, csp::kCalgDes, 0, &des));
  ASSERT_TRUE(RelGenKey(prov, csp::kCalgRc4, 0, &rc4));
  constexpr MV_DWORD kBadLen = 0x80090004;
  // The buffer is small; every length here claims far more, so nothing may be read or written.
  unsigned char buffer[256] = {};
  const struct {
    const char* name;
    MV_HANDLE key;
    bool final;
    MV_DWORD length;
  } cases[] = {
      {"block, padded length wraps to 0", des, true, 0xFFFFFFF8},
      {"block, padded length wraps to 8", des, true, 0xFFFFFFFF},
      {"block, whole blocks", des, false, 0xFFFFFFF8},
      {"block, past int", des, true, 0x80000000},
      {"stream", rc4, true, 0xFFFFFFF0},
      {"rsa, length + 11 wraps", exchange, true, 0xFFFFFFF6},
      {"rsa, just too long", exchange, true, 128 - 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (MV_DWORD room : {MV_DWORD{sizeof buffer}, MV_DWORD{0xFFFFFFFF}}) {
      MV_DWORD length = c.length;
      EXPECT_FALSE(RelEncrypt(prov, c.key, 0, c.final, 0, buffer, &length, room));
      EXPECT_EQ(LastError(), kBadLen) << room;
    }
    MV_DWORD length = c.length;
    EXPECT_FALSE(RelEncrypt(prov, c.key, 0, c.final, 0, nullptr, &length, 0));
    EXPECT_EQ(LastError(), kBadLen);
  }
  MV_DWORD fits = 128 - 11;
  EXPECT_TRUE(RelEncrypt(prov, exchange, 0, 1, 0, buffer, &fits, sizeof buffer)) << std::hex << LastError();
  MV_HANDLE hash = 0;
  ASSERT_TRUE(RelCreateHash(prov, csp::kCalgSha1, 0, 0, &hash));
  EXPECT_FALSE(RelHashData(prov, hash, buffer, 0x80000000, 0));
  EXPECT_EQ(LastError(), kBadLen);
  RelDestroyHash(prov, hash);
  RelDestroyKey(prov, rc4);
  RelDestroyKey(prov, des);
  RelDestroyKey(prov, exchange);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, DuplicateKeyOutlivesItsOriginal) {
  MV_HANDLE prov = Keyed("duplicate", 1);
  MV_HANDLE session = 0, pair = 0;
  ASSERT_TRUE(RelGenKey(prov, csp::kCalg3Des, csp::kCryptExportable, &session));
  ASSERT_TRUE(RelGetUserKey(prov, 1, &pair));
  struct Case {
    MV_HANDLE key;
    MV_DWORD blob;
  };
  const Case cases[] = {{session, csp::kPlaintextKeyBlob}, {pair, csp::kPublicKeyBlob}};
  const Bytes data(40, 0x42);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blob);
    MV_HANDLE copy = 0;
    ASSERT_TRUE(RelDuplicateKey(prov, c.key, nullptr, 0, &copy)) << std::hex << LastError();
    EXPECT_NE(copy, c.key);
    const Bytes blob = Export(prov, c.key, c.blob);
    ASSERT_FALSE(blob.empty()) << std::hex << LastError();
    Bytes buffer(256);
    std::copy(data.begin(), data.end(), buffer.begin());
    MV_DWORD length = static_cast<MV_DWORD>(data.size());
    ASSERT_TRUE(RelEncrypt(prov, c.key, 0, 1, 0, buffer.data(), &length, static_cast<MV_DWORD>(buffer.size())));
    // The original gone, the copy still holds the same key and undoes what the original did.
    ASSERT_TRUE(RelDestroyKey(prov, c.key));
    EXPECT_EQ(Export(prov, copy, c.blob), blob);
    ASSERT_TRUE(RelDecrypt(prov, copy, 0, 1, 0, buffer.data(), &length)) << std::hex << LastError();
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), data);
    EXPECT_TRUE(RelDestroyKey(prov, copy));
  }
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, KeyRemovedAndPutBack) {
  MV_HANDLE prov = Keyed("removable");
  control_("present", 0);
  EXPECT_EQ(SignError(prov), 87u);
  control_("present", 1);
  EXPECT_EQ(SignError(prov), 0u);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, LogsInTheUsersFolderAndLeavesOtherFilesAlone) {
  EXPECT_TRUE(std::filesystem::is_regular_file(g_start->root / "data" / "Morvel" / "MVCSP" / "MVCSP.txt"));
  EXPECT_EQ(tw::testing::ReadFile(g_start->root / "work" / ProviderStart::kFixedLog), "not the provider's");
  const auto entries =
      std::distance(std::filesystem::directory_iterator(g_start->root / "work"), std::filesystem::directory_iterator());
  EXPECT_EQ(entries, 1);
}

TEST_F(Provider, BindsEveryFunctionOfTheKeyLibraryByName) {
  const csp::KeyLibrary& lib = csp::Provider::Get().lib();
  ASSERT_TRUE(lib.loaded);
  std::vector<std::string> missing;
#define CSP_TEST_BOUND(name) \
  if (lib.name == nullptr) missing.push_back(#name);
  CSP_KEYLIB_FUNCTIONS(CSP_TEST_BOUND)
#undef CSP_TEST_BOUND
  EXPECT_TRUE(missing.empty()) << missing.front();
}

TEST_F(Provider, MissingFunctionFailsCleanly) {
  MV_HANDLE prov = Keyed("unbound");
  csp::KeyLibrary& lib = csp::Provider::Get().LibraryForTesting();
  const auto sign = lib.HSRSASign;
  lib.HSRSASign = nullptr;
  EXPECT_EQ(SignError(prov), kProcNotFound);
  lib.HSRSASign = sign;
  EXPECT_EQ(SignError(prov), 0u);
  RelReleaseContext(prov, 0);
}

TEST_F(Provider, ContextsFromManyThreads) {
  MV_HANDLE prov = Keyed("threads");
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i) {
        MV_HANDLE own = 0;
        if (!RelAcquireContext(&own, "threads", 0, nullptr)) {
          ++failures[t];
          continue;
        }
        if (Sign(own, "x").empty()) ++failures[t];
        RelReleaseContext(own, 0);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  RelReleaseContext(prov, 0);
}

}  // namespace
