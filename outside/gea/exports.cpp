// Stand-in for the provider's USB-key library: the functions of gea.h over simulated keys, one
// per reader. Tests steer it through SimGEA_Control (settings below, "erase" for factory-fresh
// keys, "unlock" to restore the PIN's retries, "logout" to forget verified users and cached
// PINs) and count calls with SimGEA_Calls.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "exports_shared.h"
#include "gea.h"
#include "keys.h"
#include "platform/certstore.h"
#include "platform/export.h"
#include "soft.h"
#include "standin.h"

using gea::SimKey;

namespace gea::api {

standin::Device& Sim() {
  static standin::Device device(
      {{"keys", 1},
       {"present", -1},
       {"category", 0},
       {"finger_after", 3},
       {"finger_match", 1},
       {"fp_unit", 0},
       {"confirm", 1}},
      {"HSListReaders", "HSConnectDev", "HSBeginTransaction", "HSGetContainerName", "HSGetContainerNum",
       "HSCreateContainer", "HSGetSerial", "HSReadCachedPin", "HSVerifyUserPin", "HSGetCategory", "HSFingerprintQuery",
       "HSFingerprintVerify", "HSRSASign", "HSGenRSAEx"});
  return device;
}

}  // namespace gea::api

using namespace gea::api;

namespace {

constexpr int kMaxReaders = 8;
constexpr size_t kMaxCertificate = 16384;
constexpr int kProvRsaFull = 1;

struct Connection {
  SimKey* key;
  unsigned generation;
};

struct Watch {
  HS_DEV_CHANGE callback;
  void* context;
};

// Readers, connections and device-change callbacks of the process.
class Readers {
 public:
  static Readers& Get() {
    static Readers readers;
    return readers;
  }

  int Count() const { return std::clamp(Sim().Setting("keys"), 1, kMaxReaders); }
  bool Present(int i) const { return i >= 0 && i < Count() && ((Sim().Setting("present") >> i) & 1) != 0; }
  SimKey& Key(int i) { return *keys_[static_cast<size_t>(i)]; }

  int Find(const char* reader) const {
    if (reader == nullptr) return -1;
    for (int i = 0; i < Count(); ++i) {
      if (keys_[static_cast<size_t>(i)]->reader() == reader) return i;
    }
    return -1;
  }

  Connection* Connect(int i) {
    auto c = std::make_unique<Connection>(Connection{&Key(i), Key(i).Generation()});
    std::lock_guard<std::mutex> lock(mutex_);
    Connection* raw = c.get();
    connections_.emplace(raw, std::move(c));
    return raw;
  }

  bool Disconnect(HS_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.erase(static_cast<Connection*>(handle)) != 0;
  }

  // The key behind a live connection whose key has stayed in the reader; null otherwise.
  SimKey* Resolve(HS_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = connections_.find(static_cast<Connection*>(handle));
    if (it == connections_.end()) return nullptr;
    SimKey* key = it->second->key;
    const int index = Index(key);
    if (!Present(index) || key->Generation() != it->second->generation) return nullptr;
    return key;
  }

  void SetWatch(const std::string& reader, HS_DEV_CHANGE callback, void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback == nullptr) {
      watches_.erase(reader);
    } else {
      watches_[reader] = Watch{callback, context};
    }
  }

  // After a settings change: keys that left are reset, and the callbacks hear of each change
  // (on this thread, with no lock held, so that they may call back into the library).
  void Announce(int before) {
    std::vector<std::pair<Watch, std::pair<std::string, int>>> calls;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int i = 0; i < kMaxReaders; ++i) {
        const bool was = ((before >> i) & 1) != 0, is = Present(i);
        if (was == is) continue;
        if (!is) Key(i).Removed();
        const auto w = watches_.find(Key(i).reader());
        if (w != watches_.end()) {
          calls.push_back({w->second, {Key(i).reader(), is ? HS_STATE_PRESENT : HS_STATE_EMPTY}});
        }
      }
    }
    for (const auto& c : calls) c.first.callback(c.second.first.c_str(), c.second.second, c.first.context);
  }

  int PresentMask() const {
    int mask = 0;
    for (int i = 0; i < kMaxReaders; ++i) mask |= Present(i) ? (1 << i) : 0;
    return mask;
  }

 private:
  Readers() {
    for (int i = 0; i < kMaxReaders; ++i) keys_.push_back(std::make_unique<SimKey>(i));
  }
  int Index(const SimKey* key) const {
    for (size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i].get() == key) return static_cast<int>(i);
    }
    return -1;
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<SimKey>> keys_;
  std::map<Connection*, std::unique_ptr<Connection>> connections_;
  std::map<std::string, Watch> watches_;
};

// The common frame of a key function: a forced result, else the key locked for `body`.
template <typename Body>
int OnKey(const char* function, HS_HANDLE handle, Body body) {
  if (const auto forced = Sim().Enter(function, function)) return *forced;
  SimKey* key = Readers::Get().Resolve(handle);
  if (key == nullptr) return Err(HS_ERR_HANDLE);
  SimKey::Access access(*key);
  return body(access);
}

// The same for a key pair, which private operations reach only with the user verified.
template <typename Body>
int OnPair(const char* function, HS_HANDLE handle, int container, int kind, bool needsUser, Body body) {
  return OnKey(function, handle, [&](SimKey::Access& a) {
    if (needsUser && !a.key().loggedIn) return Err(HS_ERR_NOT_LOGGED_IN);
    if (container < 0 || container >= HS_MAX_CONTAINERS || (kind != HS_KEY_EXCHANGE && kind != HS_KEY_SIGNATURE)) {
      return Err(HS_ERR_PARAM);
    }
    auto* pair = a.memory().FindPair(container, kind);
    if (pair == nullptr) return Err(HS_ERR_NO_CONTAINER);
    return body(a, *pair);
  });
}

int Category(SimKey::Access& a) {
  const int forced = Sim().Setting("category");
  return forced != 0 ? forced : a.memory().category;
}

int StorePair(SimKey::Access& a, gea::KeyMemory::Pair& pair, gea::RsaKey key) {
  const size_t bits = key.Bits();
  if (bits != 1024 && bits != 2048) return Err(HS_ERR_ALGORITHM);
  // Only whole keys: the private operation must undo the public one.
  const Bytes probe(key.n.size(), 0x5A);
  const auto there = gea::RsaPublic(key, probe.data(), probe.size());
  const auto back = there ? gea::RsaPrivate(key, there->data(), there->size()) : std::nullopt;
  if (!back || *back != probe) return Err(HS_ERR_DATA);
  pair.key = std::move(key);
  // A new key pair makes the old certificate meaningless.
  pair.certificate.clear();
  return a.Save();
}

int Publish(SimKey::Access& a, const char* provider, int* added) {
  int count = 0;
  bool failed = false;
  for (auto& container : a.memory().containers) {
    if (!container) continue;
    for (int k = 0; k < 2; ++k) {
      const Bytes& cert = container->pairs[k].certificate;
      if (cert.empty()) continue;
      if (platform::PublishUserCertificate(std::string(cert.begin(), cert.end()), provider, kProvRsaFull,
                                           container->name, static_cast<uint32_t>(k + 1))) {
        ++count;
      } else {
        failed = true;
      }
    }
  }
  if (added != nullptr) *added = count;
  return failed ? Err(HS_ERR_NOT_SUPPORTED) : HS_OK;
}

int SignBlock(SimKey::Access& a, gea::KeyMemory::Pair& pair, const unsigned char* block, int length,
              unsigned char* signature, int* size) {
  (void)a;
  if (!pair.key) return Err(HS_ERR_NO_KEY);
  if (!Readable(block, length)) return Err(HS_ERR_PARAM);
  const auto result = gea::RsaPrivate(*pair.key, block, static_cast<size_t>(length));
  return result ? PutBytes(*result, signature, size) : Err(HS_ERR_DATA);
}

}  // namespace

// ---- Readers and keys

TW_EXPORT int TW_STDCALL HSListReaders(char* names, int* size) {
  if (const auto forced = Sim().Enter("HSListReaders", "HSListReaders")) return *forced;
  std::string list;
  for (int i = 0; i < Readers::Get().Count(); ++i) list += Readers::Get().Key(i).reader() + '\0';
  list += '\0';
  return PutBytes(reinterpret_cast<const unsigned char*>(list.data()), list.size(),
                  reinterpret_cast<unsigned char*>(names), size);
}

TW_EXPORT int TW_STDCALL HSGetDevState(const char* reader, int* state) {
  Sim().Enter("HSGetDevState");
  const int i = Readers::Get().Find(reader);
  if (i < 0 || state == nullptr) return Err(i < 0 ? HS_ERR_NO_DEVICE : HS_ERR_PARAM);
  *state = Readers::Get().Present(i) ? HS_STATE_PRESENT : HS_STATE_EMPTY;
  return HS_OK;
}

TW_EXPORT int TW_STDCALL HSSetDevChgEvent(const char* reader, HS_DEV_CHANGE callback, void* context) {
  Sim().Enter("HSSetDevChgEvent");
  if (Readers::Get().Find(reader) < 0) return Err(HS_ERR_NO_DEVICE);
  Readers::Get().SetWatch(reader, callback, context);
  return HS_OK;
}

TW_EXPORT int TW_STDCALL HSConnectDev(const char* reader, HS_HANDLE* key) {
  if (const auto forced = Sim().Enter("HSConnectDev", "HSConnectDev")) return *forced;
  if (key == nullptr) return Err(HS_ERR_PARAM);
  *key = nullptr;
  const int i = Readers::Get().Find(reader);
  if (i < 0 || !Readers::Get().Present(i)) return Err(HS_ERR_NO_DEVICE);
  *key = Readers::Get().Connect(i);
  return HS_OK;
}

TW_EXPORT int TW_STDCALL HSDisconnectDev(HS_HANDLE key) {
  Sim().Enter("HSDisconnectDev");
  return Readers::Get().Disconnect(key) ? HS_OK : Err(HS_ERR_HANDLE);
}

TW_EXPORT int TW_STDCALL HSBeginTransaction(HS_HANDLE key) {
  if (const auto forced = Sim().Enter("HSBeginTransaction", "HSBeginTransaction")) return *forced;
  SimKey* k = Readers::Get().Resolve(key);
  return k != nullptr ? k->Begin() : Err(HS_ERR_HANDLE);
}

TW_EXPORT int TW_STDCALL HSEndTransaction(HS_HANDLE key) {
  Sim().Enter("HSEndTransaction");
  SimKey* k = Readers::Get().Resolve(key);
  return k != nullptr ? k->End() : Err(HS_ERR_HANDLE);
}

TW_EXPORT int TW_STDCALL HSGetSerial(HS_HANDLE key, unsigned char serial[8]) {
  return OnKey("HSGetSerial", key, [&](SimKey::Access& a) {
    if (serial == nullptr) return Err(HS_ERR_PARAM);
    std::memcpy(serial, a.memory().serial.data(), 8);
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL HSReadLabel(HS_HANDLE key, char* label, int* size) {
  return OnKey("HSReadLabel", key, [&](SimKey::Access& a) { return PutText(a.memory().label, label, size); });
}

TW_EXPORT int TW_STDCALL HSGetHWApp(HS_HANDLE key, char* application, int* size) {
  return OnKey("HSGetHWApp", key, [&](SimKey::Access&) { return PutText("MVKEY-SIM 1.0", application, size); });
}

TW_EXPORT int TW_STDCALL HSReadPCODE(HS_HANDLE key, char* code, int* size) {
  return OnKey("HSReadPCODE", key, [&](SimKey::Access&) { return PutText("GEA-2013-5000", code, size); });
}

TW_EXPORT int TW_STDCALL HSGetCategory(HS_HANDLE key, int* category) {
  return OnKey("HSGetCategory", key, [&](SimKey::Access& a) {
    if (category == nullptr) return Err(HS_ERR_PARAM);
    *category = Category(a);
    return HS_OK;
  });
}

// ---- Containers

TW_EXPORT int TW_STDCALL HSGetContainerName(HS_HANDLE key, int index, char* name, int* size) {
  return OnKey("HSGetContainerName", key, [&](SimKey::Access& a) {
    if (index < 0 || index >= HS_MAX_CONTAINERS) return Err(HS_ERR_PARAM);
    const auto& c = a.memory().containers[index];
    return c ? PutText(c->name, name, size) : Err(HS_ERR_NO_CONTAINER);
  });
}

TW_EXPORT int TW_STDCALL HSGetContainerNum(HS_HANDLE key, const char* name, int* index) {
  return OnKey("HSGetContainerNum", key, [&](SimKey::Access& a) {
    if (name == nullptr || index == nullptr) return Err(HS_ERR_PARAM);
    *index = HS_MAX_CONTAINERS;
    for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
      if (a.memory().containers[i] && a.memory().containers[i]->name == name) *index = i;
    }
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL HSCreateContainer(HS_HANDLE key, const char* name, int* index) {
  return OnKey("HSCreateContainer", key, [&](SimKey::Access& a) {
    if (!a.key().loggedIn) return Err(HS_ERR_NOT_LOGGED_IN);
    const size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length == 0 || length > HS_MAX_CONTAINER_NAME) return Err(HS_ERR_PARAM);
    auto& containers = a.memory().containers;
    int free = -1;
    for (int i = HS_MAX_CONTAINERS - 1; i >= 0; --i) {
      if (containers[i] && containers[i]->name == name) return Err(HS_ERR_CONTAINER_EXISTS);
      if (!containers[i]) free = i;
    }
    if (free < 0) return Err(HS_ERR_CONTAINERS_FULL);
    containers[free].emplace();
    containers[free]->name = name;
    if (index != nullptr) *index = free;
    return a.Save();
  });
}

TW_EXPORT int TW_STDCALL HSDelContainer(HS_HANDLE key, const char* name) {
  return OnKey("HSDelContainer", key, [&](SimKey::Access& a) {
    if (!a.key().loggedIn) return Err(HS_ERR_NOT_LOGGED_IN);
    if (name == nullptr) return Err(HS_ERR_PARAM);
    for (auto& c : a.memory().containers) {
      if (c && c->name == name) {
        c.reset();
        return a.Save();
      }
    }
    return Err(HS_ERR_NO_CONTAINER);
  });
}

// ---- The user

TW_EXPORT int TW_STDCALL HSVerifyUserPin(HS_HANDLE key, const char* pin, int* retriesLeft) {
  return OnKey("HSVerifyUserPin", key, [&](SimKey::Access& a) {
    if (pin == nullptr || std::strlen(pin) > HS_MAX_PIN) return Err(HS_ERR_PARAM);
    auto& m = a.memory();
    auto report = [&](int code) {
      if (retriesLeft != nullptr) *retriesLeft = m.retries;
      return code;
    };
    if (m.retries <= 0) return report(Err(HS_ERR_PIN_LOCKED));
    const int before = m.retries;
    if (gea::PinDigest(m.serial, pin) == m.pinDigest) {
      m.retries = m.maxRetries;
      a.key().loggedIn = true;
      return report(before != m.retries ? a.Save() : HS_OK);
    }
    --m.retries;
    a.key().loggedIn = false;
    const int saved = a.Save();
    if (saved != HS_OK) return report(saved);
    return report(Err(m.retries == 0 ? HS_ERR_PIN_LOCKED : HS_ERR_PIN_WRONG));
  });
}

TW_EXPORT int TW_STDCALL HSClearPin(HS_HANDLE key) {
  return OnKey("HSClearPin", key, [&](SimKey::Access& a) {
    a.key().loggedIn = false;
    a.key().cache.fill(0);
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL HSReadCachedPin(HS_HANDLE key, unsigned char record[HS_CACHED_PIN_SIZE]) {
  return OnKey("HSReadCachedPin", key, [&](SimKey::Access& a) {
    if (record == nullptr) return Err(HS_ERR_PARAM);
    std::memcpy(record, a.key().cache.data(), HS_CACHED_PIN_SIZE);
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL HSWriteCachedPin(HS_HANDLE key, const unsigned char record[HS_CACHED_PIN_SIZE]) {
  return OnKey("HSWriteCachedPin", key, [&](SimKey::Access& a) {
    if (record == nullptr) return Err(HS_ERR_PARAM);
    std::memcpy(a.key().cache.data(), record, HS_CACHED_PIN_SIZE);
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL HSFingerprintQuery(HS_HANDLE key, int* state) {
  return OnKey("HSFingerprintQuery", key, [&](SimKey::Access& a) {
    if (state == nullptr) return Err(HS_ERR_PARAM);
    if (Category(a) != HS_CATEGORY_FINGERPRINT) return Err(HS_ERR_NOT_SUPPORTED);
    *state = Sim().Setting("fp_unit");
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL HSFingerprintVerify(HS_HANDLE key, int mode) {
  return OnKey("HSFingerprintVerify", key, [&](SimKey::Access& a) {
    if (mode != 1 && mode != 2) return Err(HS_ERR_PARAM);
    if (Category(a) != HS_CATEGORY_FINGERPRINT) return Err(HS_ERR_NOT_SUPPORTED);
    SimKey& k = a.key();
    const int match = Sim().Setting("finger_match");
    bool matched = false;
    if (mode == 1) {
      // A new capture: the finger arrives after some polls; each capture is then used up.
      if (++k.fingerprintPolls <= Sim().Setting("finger_after")) return static_cast<int>(HS_FP_NO_FINGER);
      k.fingerprintPolls = 0;
      matched = match == 1;
      k.lastFingerMismatch = !matched;
    } else {
      // The second method looks again at the last capture.
      if (!k.lastFingerMismatch) return static_cast<int>(HS_FP_NO_FINGER);
      matched = match == 2;
      k.lastFingerMismatch = false;
    }
    if (!matched) return static_cast<int>(HS_FP_MISMATCH);
    k.loggedIn = true;
    return HS_OK;
  });
}

// ---- Key pairs and certificates

TW_EXPORT int TW_STDCALL HSGenRSAEx(HS_HANDLE key, int container, int kind, int bits, unsigned char* publicKey,
                                    int* size) {
  return OnPair("HSGenRSAEx", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    auto generated = gea::RsaGenerate(bits);
    if (!generated) return Err(HS_ERR_ALGORITHM);
    const Bytes encoded = gea::EncodePublicKey(*generated);
    const int stored = StorePair(a, pair, std::move(*generated));
    if (stored != HS_OK || size == nullptr) return stored;
    return PutBytes(encoded, publicKey, size);
  });
}

TW_EXPORT int TW_STDCALL HSGenRSA(HS_HANDLE key, int container, int kind, int bits) {
  return HSGenRSAEx(key, container, kind, bits, nullptr, nullptr);
}

TW_EXPORT int TW_STDCALL HSImportRSAEx(HS_HANDLE key, int container, int kind, const unsigned char* privateKey,
                                       int length) {
  return OnPair("HSImportRSAEx", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    if (!Readable(privateKey, length)) return Err(HS_ERR_PARAM);
    auto decoded = gea::DecodePrivateKey(privateKey, static_cast<size_t>(length));
    return decoded ? StorePair(a, pair, std::move(*decoded)) : Err(HS_ERR_DATA);
  });
}

TW_EXPORT int TW_STDCALL HSImportRSA(HS_HANDLE key, int container, int kind, const HS_RSA* rsa) {
  return OnPair("HSImportRSA", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    if (rsa == nullptr) return Err(HS_ERR_PARAM);
    gea::RsaKey parts = gea::FromRsa(*rsa);
    return parts.HasPrivate() ? StorePair(a, pair, std::move(parts)) : Err(HS_ERR_DATA);
  });
}

TW_EXPORT int TW_STDCALL HS33ImprotRSA(HS_HANDLE key, int container, int kind, const unsigned char sessionKey[16],
                                       const unsigned char* enciphered, int length) {
  return OnPair("HS33ImprotRSA", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    if (sessionKey == nullptr || !Readable(enciphered, length)) return Err(HS_ERR_PARAM);
    auto cipher = HS_SYM_CTX::Create(gea::kAlgSsf33, sessionKey, 16, nullptr, HS_MODE_ECB, false, true);
    Bytes plain;
    if (!cipher || !cipher->Update(enciphered, static_cast<size_t>(length), plain) || !cipher->Final(plain)) {
      return Err(HS_ERR_DATA);
    }
    auto decoded = gea::DecodePrivateKey(plain.data(), plain.size());
    std::fill(plain.begin(), plain.end(), 0);
    return decoded ? StorePair(a, pair, std::move(*decoded)) : Err(HS_ERR_DATA);
  });
}

TW_EXPORT int TW_STDCALL HSExportRSAPubKey(HS_HANDLE key, int container, int kind, unsigned char* publicKey,
                                           int* size) {
  return OnPair("HSExportRSAPubKey", key, container, kind, false, [&](SimKey::Access&, gea::KeyMemory::Pair& pair) {
    return pair.key ? PutBytes(gea::EncodePublicKey(*pair.key), publicKey, size) : Err(HS_ERR_NO_KEY);
  });
}

TW_EXPORT int TW_STDCALL HSRSASign(HS_HANDLE key, int container, int kind, const unsigned char* block, int length,
                                   unsigned char* signature, int* size) {
  return OnPair("HSRSASign", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    return SignBlock(a, pair, block, length, signature, size);
  });
}

TW_EXPORT int TW_STDCALL HSRSASignBD(HS_HANDLE key, int container, int kind, const unsigned char* block, int length,
                                     unsigned char* signature, int* size) {
  return OnPair("HSRSASignBD", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    if (!Sim().Setting("confirm")) return Err(0x88000061);
    return SignBlock(a, pair, block, length, signature, size);
  });
}

TW_EXPORT int TW_STDCALL HSRSAVerify(HS_HANDLE key, int container, int kind, const unsigned char* signature, int length,
                                     unsigned char* block, int* size) {
  return OnPair("HSRSAVerify", key, container, kind, false, [&](SimKey::Access&, gea::KeyMemory::Pair& pair) {
    if (!pair.key) return Err(HS_ERR_NO_KEY);
    if (!Readable(signature, length)) return Err(HS_ERR_PARAM);
    const auto opened = gea::RsaPublic(*pair.key, signature, static_cast<size_t>(length));
    const auto data = opened ? gea::UnpadType1(*opened) : std::nullopt;
    return data ? PutBytes(*data, block, size) : Err(HS_ERR_DATA);
  });
}

TW_EXPORT int TW_STDCALL HSRSADecrypt(HS_HANDLE key, int container, int kind, const unsigned char* in, int length,
                                      unsigned char* out, int* size) {
  return OnPair("HSRSADecrypt", key, container, kind, true, [&](SimKey::Access&, gea::KeyMemory::Pair& pair) {
    if (!pair.key) return Err(HS_ERR_NO_KEY);
    if (!Readable(in, length)) return Err(HS_ERR_PARAM);
    const auto opened = gea::RsaPrivate(*pair.key, in, static_cast<size_t>(length));
    auto data = opened ? gea::UnpadType2(*opened) : std::nullopt;
    if (!data) return Err(HS_ERR_DATA);
    const int r = PutBytes(*data, out, size);
    std::fill(data->begin(), data->end(), 0);
    return r;
  });
}

TW_EXPORT int TW_STDCALL HSReadCert(HS_HANDLE key, int container, int kind, unsigned char* certificate, int* size) {
  return OnPair("HSReadCert", key, container, kind, false, [&](SimKey::Access&, gea::KeyMemory::Pair& pair) {
    return pair.certificate.empty() ? Err(HS_ERR_NO_CERT) : PutBytes(pair.certificate, certificate, size);
  });
}

TW_EXPORT int TW_STDCALL HSWriteCert(HS_HANDLE key, int container, int kind, const unsigned char* certificate,
                                     int length) {
  return OnPair("HSWriteCert", key, container, kind, true, [&](SimKey::Access& a, gea::KeyMemory::Pair& pair) {
    if (!Readable(certificate, length) || static_cast<size_t>(length) > kMaxCertificate) return Err(HS_ERR_PARAM);
    pair.certificate.assign(certificate, certificate + length);
    return a.Save();
  });
}

TW_EXPORT int TW_STDCALL HSRegistCertByHandle(HS_HANDLE key, const char* provider, int* added) {
  return OnKey("HSRegistCertByHandle", key, [&](SimKey::Access& a) {
    return provider != nullptr ? Publish(a, provider, added) : Err(HS_ERR_PARAM);
  });
}

TW_EXPORT int TW_STDCALL HSRegistCertByReaderName(const char* reader, const char* provider, int* added) {
  Sim().Enter("HSRegistCertByReaderName");
  const int i = Readers::Get().Find(reader);
  if (i < 0 || !Readers::Get().Present(i)) return Err(HS_ERR_NO_DEVICE);
  if (provider == nullptr) return Err(HS_ERR_PARAM);
  SimKey::Access access(Readers::Get().Key(i));
  return Publish(access, provider, added);
}

// ---- The key's display

namespace {
std::mutex g_displayMutex;
std::map<SimKey*, Bytes> g_shown;
}  // namespace

TW_EXPORT int TW_STDCALL HSWriteCharacter(HS_HANDLE key, const char* text) {
  return OnKey("HSWriteCharacter", key, [&](SimKey::Access& a) {
    if (text == nullptr) return Err(HS_ERR_PARAM);
    std::lock_guard<std::mutex> lock(g_displayMutex);
    g_shown[&a.key()].assign(text, text + std::strlen(text));
    return HS_OK;
  });
}

TW_EXPORT int TW_STDCALL BH_ShowData(HS_HANDLE key, const unsigned char* data, int length) {
  return OnKey("BH_ShowData", key, [&](SimKey::Access& a) {
    if (!Readable(data, length)) return Err(HS_ERR_PARAM);
    std::lock_guard<std::mutex> lock(g_displayMutex);
    g_shown[&a.key()].assign(data, data + length);
    return HS_OK;
  });
}

// A SHA-1 signature over what the display shows, by the first signature key on the key, once
// the holder confirmed.
TW_EXPORT int TW_STDCALL BH_GetSignature(HS_HANDLE key, unsigned char* signature, int* size) {
  return OnKey("BH_GetSignature", key, [&](SimKey::Access& a) {
    if (!a.key().loggedIn) return Err(HS_ERR_NOT_LOGGED_IN);
    if (!Sim().Setting("confirm")) return Err(0x88000061);
    Bytes shown;
    {
      std::lock_guard<std::mutex> lock(g_displayMutex);
      shown = g_shown[&a.key()];
    }
    for (auto& c : a.memory().containers) {
      if (!c || !c->pairs[HS_KEY_SIGNATURE - 1].key) continue;
      const gea::RsaKey& k = *c->pairs[HS_KEY_SIGNATURE - 1].key;
      auto hash = HS_HASH_CTX::Create(gea::kAlgSha1);
      hash->Update(shown.data(), shown.size());
      Bytes info = *gea::DigestInfoPrefix(gea::kAlgSha1);
      const Bytes digest = hash->Final();
      info.insert(info.end(), digest.begin(), digest.end());
      const auto block = gea::PadType1(info.data(), info.size(), k.n.size());
      const auto sig = block ? gea::RsaPrivate(k, block->data(), block->size()) : std::nullopt;
      return sig ? PutBytes(*sig, signature, size) : Err(HS_ERR_DATA);
    }
    return Err(HS_ERR_NO_KEY);
  });
}

// ---- The key's own ciphers

namespace {
int KeyCipher(const char* function, HS_HANDLE key, int algorithm, int mode, const unsigned char* sessionKey,
              unsigned char* iv, int encipher, const unsigned char* in, int length, unsigned char* out) {
  return OnKey(function, key, [&](SimKey::Access&) {
    if (sessionKey == nullptr || !Readable(in, length) || length % 16 != 0 || (length > 0 && out == nullptr)) {
      return Err(HS_ERR_PARAM);
    }
    auto cipher = HS_SYM_CTX::Create(algorithm, sessionKey, 16, iv, mode, encipher != 0, false);
    Bytes result;
    if (!cipher || !cipher->Update(in, static_cast<size_t>(length), result) || !cipher->Final(result)) {
      return Err(HS_ERR_DATA);
    }
    // CBC chains on: the next call continues from the last cipher block (taken before `out`,
    // which may be `in`, is written).
    if (iv != nullptr && length > 0) std::memcpy(iv, (encipher ? result.data() : in) + length - 16, 16);
    if (!result.empty()) std::memcpy(out, result.data(), result.size());
    return HS_OK;
  });
}
}  // namespace

TW_EXPORT int TW_STDCALL HSSymSessionEcb(HS_HANDLE key, const unsigned char sessionKey[16], int encipher,
                                         const unsigned char* in, int length, unsigned char* out) {
  return KeyCipher("HSSymSessionEcb", key, gea::kAlgSsf33, HS_MODE_ECB, sessionKey, nullptr, encipher, in, length, out);
}

TW_EXPORT int TW_STDCALL HSSCB2Cbc(HS_HANDLE key, const unsigned char sessionKey[16], unsigned char iv[16],
                                   int encipher, const unsigned char* in, int length, unsigned char* out) {
  if (iv == nullptr) return Err(HS_ERR_PARAM);
  return KeyCipher("HSSCB2Cbc", key, gea::kAlgScb2, HS_MODE_CBC, sessionKey, iv, encipher, in, length, out);
}

// ---- Randomness from the key

TW_EXPORT int TW_STDCALL HSGenRandom(HS_HANDLE key, unsigned char* out, int length) {
  Sim().Enter("HSGenRandom");
  if (key != nullptr && Readers::Get().Resolve(key) == nullptr) return Err(HS_ERR_HANDLE);
  if (length < 0 || (length > 0 && out == nullptr)) return Err(HS_ERR_PARAM);
  gea::Random(out, static_cast<size_t>(length));
  return HS_OK;
}

// ---- Test controls

TW_EXPORT void TW_STDCALL SimGEA_Control(const char* setting, int value) {
  if (setting == nullptr) return;
  Readers& readers = Readers::Get();
  const std::string name = setting;
  if (name == "erase" || name == "unlock" || name == "logout") {
    for (int i = 0; i < kMaxReaders; ++i) {
      SimKey& key = readers.Key(i);
      if (name == "logout") {
        SimKey::Access access(key);
        key.loggedIn = false;
        key.cache.fill(0);
      } else if (name == "erase") {
        std::error_code ec;
        std::filesystem::remove(std::filesystem::u8path(gea::KeyFile(gea::KeyMemory::Fresh(i).serial)), ec);
        key.Reload();
      } else {
        SimKey::Access access(key);
        access.memory().retries = access.memory().maxRetries;
        access.Save();
      }
    }
    return;
  }
  const int before = readers.PresentMask();
  Sim().Control(setting, value);
  readers.Announce(before);
}

TW_EXPORT int TW_STDCALL SimGEA_Calls(const char* function) { return Sim().Calls(function); }
