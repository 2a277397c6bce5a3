// The provider's key-library stand-in through its own functions: the software cryptography
// against published values, the simulated key's rules, and its memory across restarts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gea.h"
#include "tw/testing.h"

extern "C" void SimGEA_Control(const char* setting, int value);

namespace {

using Bytes = std::vector<unsigned char>;

std::string Hex(const Bytes& b) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : b) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

Bytes Digest(int alg, const std::string& text) {
  HS_HASH_CTX* ctx = nullptr;
  EXPECT_EQ(HSHashInit(alg, &ctx), HS_OK);
  EXPECT_EQ(HSHashUpdate(ctx, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())),
            HS_OK);
  Bytes out(64);
  int size = static_cast<int>(out.size());
  EXPECT_EQ(HSHashFinal(ctx, out.data(), &size), HS_OK);
  out.resize(static_cast<size_t>(size));
  return out;
}

TEST(GeaSoftware, HashesMatchPublishedValues) {
  struct Case {
    int alg;
    std::string text, hex;
  };
  const Case cases[] = {
      {0x8001, "", "8350e5a3e24c153df2275c9f80692773"},
      {0x8001, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
      {0x8001, "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "d5976f79d83d3a0dc9806c3c66f3efd8"},
      {0x8003, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {0x8004, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {0x8008, "abc", "900150983cd24fb0d6963f7d28e17f72a9993e364706816aba3e25717850c26c9cd0d89d"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(Digest(c.alg, c.text)), c.hex) << c.alg << " " << c.text;
  HS_HASH_CTX* ctx = nullptr;
  EXPECT_EQ(HSHashInit(0x8099, &ctx), static_cast<int>(HS_ERR_ALGORITHM));
}

TEST(GeaSoftware, PaddingForSignatures) {
  const Bytes digest(20, 0xAB);
  Bytes block(128);
  int size = static_cast<int>(block.size());
  ASSERT_EQ(HSHashPadding(0x8004, digest.data(), 20, 1024, block.data(), &size), HS_OK);
  ASSERT_EQ(size, 128);
  // 00 01 FF..FF 00, then SHA-1's DigestInfo prefix and the digest.
  EXPECT_EQ(block[0], 0x00);
  EXPECT_EQ(block[1], 0x01);
  EXPECT_EQ(Hex(Bytes(block.begin() + 128 - 36, block.begin() + 128 - 20)), "003021300906052b0e03021a05000414");
  EXPECT_EQ(HSHashPadding(0x8004, digest.data(), 19, 1024, block.data(), &size), static_cast<int>(HS_ERR_DATA));
  size = 10;
  EXPECT_EQ(HSHashPadding(0, digest.data(), 20, 1024, block.data(), &size), static_cast<int>(HS_ERR_BUFFER));
  EXPECT_EQ(size, 128);
}

TEST(GeaSoftware, CiphersRoundTripAndRefuseBadPadding) {
  struct Case {
    int alg;
    int keyLength;
  };
  const Case cases[] = {{0x6601, 8}, {0x6603, 24}, {0x6609, 16}, {0x6602, 16},
                        {0x6602, 5}, {0x6801, 16}, {0x66FF, 16}, {0x66FE, 16}};
  const Bytes key(24, 0x42),
      plain = {'t', 'w', 'e', 'n', 't', 'y', ' ', 'o', 'n', 'e', ' ', 'b', 'y', 't', 'e', 's', '!', '!', '!', '!', '!'};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alg);
    HS_SYM_CTX* enc = nullptr;
    ASSERT_EQ(HSSymInit(c.alg, key.data(), c.keyLength, nullptr, HS_MODE_CBC, 1, 1, &enc), HS_OK);
    Bytes cipher(64);
    int n = 64, last = 0;
    ASSERT_EQ(HSSymUpdate(enc, plain.data(), static_cast<int>(plain.size()), cipher.data(), &n), HS_OK);
    last = 64 - n;
    ASSERT_EQ(HSSymFinal(enc, cipher.data() + n, &last), HS_OK);
    cipher.resize(static_cast<size_t>(n + last));
    HS_SYM_CTX* dec = nullptr;
    ASSERT_EQ(HSSymInit(c.alg, key.data(), c.keyLength, nullptr, HS_MODE_CBC, 0, 1, &dec), HS_OK);
    Bytes back(64);
    n = 64;
    ASSERT_EQ(HSSymUpdate(dec, cipher.data(), static_cast<int>(cipher.size()), back.data(), &n), HS_OK);
    last = 64 - n;
    ASSERT_EQ(HSSymFinal(dec, back.data() + n, &last), HS_OK);
    back.resize(static_cast<size_t>(n + last));
    EXPECT_EQ(back, plain);
  }
  // A wrong key leaves padding that does not check out (for this key, always).
  HS_SYM_CTX* enc = nullptr;
  ASSERT_EQ(HSSymInit(0x6603, key.data(), 24, nullptr, HS_MODE_ECB, 1, 1, &enc), HS_OK);
  Bytes cipher(16);
  int n = 16;
  ASSERT_EQ(HSSymUpdate(enc, plain.data(), 8, cipher.data(), &n), HS_OK);
  ASSERT_EQ(n, 8);
  int last = 8;
  ASSERT_EQ(HSSymFinal(enc, cipher.data() + 8, &last), HS_OK);
  Bytes other = key;
  other[0] ^= 0x80;
  HS_SYM_CTX* dec = nullptr;
  ASSERT_EQ(HSSymInit(0x6603, other.data(), 24, nullptr, HS_MODE_ECB, 0, 1, &dec), HS_OK);
  Bytes back(16);
  n = 16;
  ASSERT_EQ(HSSymUpdate(dec, cipher.data(), 16, back.data(), &n), HS_OK);
  last = 16;
  EXPECT_EQ(HSSymFinal(dec, back.data(), &last), static_cast<int>(HS_ERR_DATA));
  EXPECT_EQ(HSSymInit(0x6601, key.data(), 7, nullptr, HS_MODE_CBC, 1, 1, &enc), static_cast<int>(HS_ERR_ALGORITHM));
}

TEST(GeaObjects, DerInputIsCheckedToTheByte) {
  // RSAPublicKey { n = 0x00C1 (positive), e = 3 }
  const Bytes good = {0x30, 0x07, 0x02, 0x02, 0x00, 0xC1, 0x02, 0x01, 0x03};
  const unsigned char* p = good.data();
  HS_RSA* rsa = HS_d2i_RSAPublicKey(nullptr, &p, static_cast<long>(good.size()));
  ASSERT_NE(rsa, nullptr);
  EXPECT_EQ(p, good.data() + good.size());
  EXPECT_EQ(HS_BN_num_bytes(rsa->n), 1);
  EXPECT_EQ(HS_BN_get_word(rsa->e), 3ul);
  HS_RSA_free(rsa);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    p = good.data();
    EXPECT_EQ(HS_d2i_RSAPublicKey(nullptr, &p, static_cast<long>(cut)), nullptr) << cut;
  }
  const Bytes negative = {0x30, 0x06, 0x02, 0x01, 0xC1, 0x02, 0x01, 0x03};
  const Bytes overlong = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02};
  for (const Bytes* bad : {&negative, &overlong}) {
    p = bad->data();
    EXPECT_EQ(HS_d2i_RSAPublicKey(nullptr, &p, static_cast<long>(bad->size())), nullptr);
  }
  // DigestInfo of SHA-1 with absent parameters.
  Bytes info = {0x30, 0x1F, 0x30, 0x07, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x04, 0x14};
  info.resize(info.size() + 20, 0x11);
  p = info.data();
  HS_X509_SIG* sig = HS_d2i_X509_SIG(nullptr, &p, static_cast<long>(info.size()));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(HS_OBJ_obj2nid(sig->algorithm), HS_NID_SHA1);
  EXPECT_EQ(sig->digest->length, 20);
  HS_X509_SIG_free(sig);
}

class GeaKey : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<tw::testing::WorkDirectory>("gea_store", false);
    setenv("TARNWICK_GEA_STORE", store_->path().c_str(), 1);
    SimGEA_Control("reset", 0);
    SimGEA_Control("erase", 0);
    ASSERT_EQ(HSConnectDev("Morvel USB Key 0", &key_), HS_OK);
  }
  void TearDown() override { HSDisconnectDev(key_); }

  int Verify(const char* pin) {
    int left = -1;
    return HSVerifyUserPin(key_, pin, &left);
  }

  std::unique_ptr<tw::testing::WorkDirectory> store_;
  HS_HANDLE key_ = nullptr;
};

TEST_F(GeaKey, ReadersAndPresence) {
  char names[256];
  int size = sizeof names;
  ASSERT_EQ(HSListReaders(names, &size), HS_OK);
  EXPECT_EQ(std::string(names, static_cast<size_t>(size)), std::string("Morvel USB Key 0\0\0", 18));
  struct Seen {
    std::string reader;
    int state;
  };
  static std::vector<Seen> seen;
  seen.clear();
  HS_DEV_CHANGE watch = [](const char* reader, int state, void*) { seen.push_back({reader, state}); };
  ASSERT_EQ(HSSetDevChgEvent("Morvel USB Key 0", watch, nullptr), HS_OK);
  SimGEA_Control("present", 0);
  int state = 0;
  EXPECT_EQ(HSGetDevState("Morvel USB Key 0", &state), HS_OK);
  EXPECT_EQ(state, HS_STATE_EMPTY);
  unsigned char serial[8];
  EXPECT_EQ(HSGetSerial(key_, serial), static_cast<int>(HS_ERR_HANDLE));
  SimGEA_Control("present", -1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].state, HS_STATE_EMPTY);
  EXPECT_EQ(seen[1].state, HS_STATE_PRESENT);
  // The old connection stays dead; a new one works.
  EXPECT_EQ(HSGetSerial(key_, serial), static_cast<int>(HS_ERR_HANDLE));
  HSDisconnectDev(key_);
  ASSERT_EQ(HSConnectDev("Morvel USB Key 0", &key_), HS_OK);
  EXPECT_EQ(HSGetSerial(key_, serial), HS_OK);
  HSSetDevChgEvent("Morvel USB Key 0", nullptr, nullptr);
  EXPECT_EQ(HSConnectDev("Morvel USB Key 5", &key_), static_cast<int>(HS_ERR_NO_DEVICE));
  ASSERT_EQ(HSConnectDev("Morvel USB Key 0", &key_), HS_OK);
}

TEST_F(GeaKey, PinRetriesLockAndLastAcrossRestarts) {
  int left = -1;
  EXPECT_EQ(HSVerifyUserPin(key_, "1234", &left), static_cast<int>(HS_ERR_PIN_WRONG));
  EXPECT_EQ(left, 5);
  // Restart: the key is read again from its file.
  SimGEA_Control("present", 0);
  SimGEA_Control("present", -1);
  HSDisconnectDev(key_);
  ASSERT_EQ(HSConnectDev("Morvel USB Key 0", &key_), HS_OK);
  for (int expected = 4; expected > 0; --expected) {
    EXPECT_EQ(HSVerifyUserPin(key_, "1234", &left), static_cast<int>(HS_ERR_PIN_WRONG));
    EXPECT_EQ(left, expected);
  }
  EXPECT_EQ(HSVerifyUserPin(key_, "1234", &left), static_cast<int>(HS_ERR_PIN_LOCKED));
  EXPECT_EQ(Verify("12345678"), static_cast<int>(HS_ERR_PIN_LOCKED));
  SimGEA_Control("unlock", 0);
  EXPECT_EQ(HSVerifyUserPin(key_, "12345678", &left), HS_OK);
  EXPECT_EQ(left, 6);
}

TEST_F(GeaKey, ContainersNeedTheUserAndHoldEight) {
  int index = -1;
  EXPECT_EQ(HSCreateContainer(key_, "a", &index), static_cast<int>(HS_ERR_NOT_LOGGED_IN));
  ASSERT_EQ(Verify("12345678"), HS_OK);
  for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
    ASSERT_EQ(HSCreateContainer(key_, ("c" + std::to_string(i)).c_str(), &index), HS_OK);
    EXPECT_EQ(index, i);
  }
  EXPECT_EQ(HSCreateContainer(key_, "c9", &index), static_cast<int>(HS_ERR_CONTAINERS_FULL));
  EXPECT_EQ(HSCreateContainer(key_, "c3", &index), static_cast<int>(HS_ERR_CONTAINER_EXISTS));
  EXPECT_EQ(HSCreateContainer(key_, std::string(65, 'x').c_str(), &index), static_cast<int>(HS_ERR_PARAM));
  ASSERT_EQ(HSDelContainer(key_, "c3"), HS_OK);
  EXPECT_EQ(HSGetContainerNum(key_, "c3", &index), HS_OK);
  EXPECT_EQ(index, HS_MAX_CONTAINERS);
  char name[8];
  int size = sizeof name;
  EXPECT_EQ(HSGetContainerName(key_, 3, name, &size), static_cast<int>(HS_ERR_NO_CONTAINER));
  size = 2;
  EXPECT_EQ(HSGetContainerName(key_, 4, name, &size), static_cast<int>(HS_ERR_BUFFER));
  EXPECT_EQ(size, 3);
}

TEST_F(GeaKey, KeyPairSignsDecryptsAndLastsAcrossRestarts) {
  ASSERT_EQ(Verify("12345678"), HS_OK);
  int index = -1;
  ASSERT_EQ(HSCreateContainer(key_, "pair", &index), HS_OK);
  unsigned char der[600];
  int size = sizeof der;
  ASSERT_EQ(HSGenRSAEx(key_, index, HS_KEY_EXCHANGE, 1024, der, &size), HS_OK);
  EXPECT_EQ(HSGenRSAEx(key_, index, HS_KEY_EXCHANGE, 1536, der, &size), static_cast<int>(HS_ERR_ALGORITHM));
  // Restarted and logged out: the key pair is still there, its private use needs the PIN.
  SimGEA_Control("present", 0);
  SimGEA_Control("present", -1);
  HSDisconnectDev(key_);
  ASSERT_EQ(HSConnectDev("Morvel USB Key 0", &key_), HS_OK);
  size = sizeof der;
  ASSERT_EQ(HSExportRSAPubKey(key_, index, HS_KEY_EXCHANGE, der, &size), HS_OK);
  const unsigned char* p = der;
  HS_RSA* pub = HS_d2i_RSAPublicKey(nullptr, &p, size);
  ASSERT_NE(pub, nullptr);
  const std::string secret = "session key bytes";
  unsigned char cipher[128], plain[128];
  int cipherSize = sizeof cipher, plainSize = sizeof plain;
  ASSERT_EQ(HSRSAEncryptSoft(pub, reinterpret_cast<const unsigned char*>(secret.data()),
                             static_cast<int>(secret.size()), cipher, &cipherSize),
            HS_OK);
  EXPECT_EQ(HSRSADecrypt(key_, index, HS_KEY_EXCHANGE, cipher, cipherSize, plain, &plainSize),
            static_cast<int>(HS_ERR_NOT_LOGGED_IN));
  ASSERT_EQ(Verify("12345678"), HS_OK);
  ASSERT_EQ(HSRSADecrypt(key_, index, HS_KEY_EXCHANGE, cipher, cipherSize, plain, &plainSize), HS_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), static_cast<size_t>(plainSize)), secret);
  // Sign a padded block, check it with the public key in software.
  unsigned char block[128], signature[128], opened[128];
  int blockSize = sizeof block, signatureSize = sizeof signature, openedSize = sizeof opened;
  const unsigned char digest[20] = {1, 2, 3};
  ASSERT_EQ(HSHashPadding(0x8004, digest, 20, 1024, block, &blockSize), HS_OK);
  ASSERT_EQ(HSRSASign(key_, index, HS_KEY_EXCHANGE, block, blockSize, signature, &signatureSize), HS_OK);
  ASSERT_EQ(HSRSAVerifySoft(pub, signature, signatureSize, opened, &openedSize), HS_OK);
  EXPECT_EQ(openedSize, 35);
  EXPECT_EQ(std::memcmp(opened + 15, digest, 20), 0);
  signature[5] ^= 1;
  EXPECT_EQ(HSRSAVerifySoft(pub, signature, signatureSize, opened, &openedSize), static_cast<int>(HS_ERR_DATA));
  HS_RSA_free(pub);
  EXPECT_EQ(HSRSASign(key_, index, HS_KEY_SIGNATURE, block, blockSize, signature, &signatureSize),
            static_cast<int>(HS_ERR_NO_KEY));
}

TEST_F(GeaKey, FingerprintPolls) {
  SimGEA_Control("category", HS_CATEGORY_FINGERPRINT);
  SimGEA_Control("finger_after", 2);
  int category = 0, state = -1;
  ASSERT_EQ(HSGetCategory(key_, &category), HS_OK);
  EXPECT_EQ(category, HS_CATEGORY_FINGERPRINT);
  ASSERT_EQ(HSFingerprintQuery(key_, &state), HS_OK);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(HSFingerprintVerify(key_, 1), HS_FP_NO_FINGER);
  EXPECT_EQ(HSFingerprintVerify(key_, 1), HS_FP_NO_FINGER);
  EXPECT_EQ(HSFingerprintVerify(key_, 1), HS_OK);
  SimGEA_Control("finger_after", 0);
  SimGEA_Control("finger_match", 2);
  EXPECT_EQ(HSFingerprintVerify(key_, 1), HS_FP_MISMATCH);
  EXPECT_EQ(HSFingerprintVerify(key_, 2), HS_OK);
  EXPECT_EQ(HSFingerprintVerify(key_, 3), static_cast<int>(HS_ERR_PARAM));
}

TEST_F(GeaKey, TransactionKeepsOtherThreadsOut) {
  ASSERT_EQ(HSBeginTransaction(key_), HS_OK);
  ASSERT_EQ(HSBeginTransaction(key_), HS_OK);  // nests
  std::atomic<bool> done{false};
  std::thread other([&] {
    unsigned char serial[8];
    HSGetSerial(key_, serial);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done);
  EXPECT_EQ(HSEndTransaction(key_), HS_OK);
  EXPECT_FALSE(done);
  EXPECT_EQ(HSEndTransaction(key_), HS_OK);
  other.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(HSEndTransaction(key_), static_cast<int>(HS_ERR_TRANSACTION));
}

}  // namespace
