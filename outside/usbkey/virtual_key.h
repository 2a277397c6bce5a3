// The simulated key behind the UsbKey exports: one key slot, the key's data in its file (one
// per serial number, replaced atomically on every change), the PIN's tries and lock. Not
// thread-safe: the exports serialise the calls.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "key_record.h"
#include "rsa_key.h"

namespace usbkey {

enum class Status {
  Ok,
  // The key and its file.
  NotPresent,   // no key in the slot, or no USBKey_Init_HS found one
  Unreadable,   // the key's file exists but cannot be read or is not a key's file
  StoreFailed,  // the new version of the file could not be written; the old one stays
  // The PIN.
  WrongPin,
  PinLocked,
  NotVerified,  // the PIN has not been given since the key was found
  // The request.
  BadArgument,  // a null text, a length of 0 or less, a PIN of the wrong length, an unknown area
  TooLarge,     // more than an item can hold
  Empty,        // nothing stored
  NoKeyPair,    // formatted: nothing to sign with
  CryptoFailed,
};

enum class Item { Certificate, CertPassword, SignaturePicture };

constexpr const char* kDefaultPin = "12345678";
constexpr const char* kDefaultSerial = "7301000001";

class VirtualKey {
 public:
  VirtualKey();
  ~VirtualKey();

  // Where the keys' files live; empty: TARNWICK_USBKEY_DIR, else the program-data folder.
  void SetFolder(std::string folder) { folder_ = std::move(folder); }
  // The key in the slot; empty: kDefaultSerial. False for a serial that cannot name a file.
  bool SetSerial(std::string serial);
  // What the present setting says: a key in the slot or not.
  Status Connect(bool present);

  Status Serial(std::string* serial) const;
  Status FactoryInit();
  Status Format();
  Status Erase(std::string_view area);
  Status CheckPin(std::string_view pin);
  Status ResetPin(std::string_view pin);
  Status Write(Item item, std::string_view bytes);
  Status Read(Item item, std::string* bytes) const;
  // Base64 of the signature.
  Status Sign(std::string_view content, std::string_view pin, std::string* signature);

  // The file of the key in the slot.
  std::string FilePath() const;

 private:
  Status NewKey(KeyRecord* record) const;
  Status Save(const KeyRecord& next);
  Status VerifyPin(std::string_view pin);
  std::string Folder() const;
  bool SecureFolder();

  std::string folder_;
  std::string serial_ = kDefaultSerial;
  std::optional<KeyRecord> record_;  // the key USBKey_Init_HS found
  std::string recordPath_;
  std::string securedFolder_;  // the folder whose access was restricted in this run
  bool verified_ = false;
  // The parsed key pair, kept while the stored one is unchanged.
  std::unique_ptr<RsaKey> signer_;
  std::string signerSource_;
};

}  // namespace usbkey
