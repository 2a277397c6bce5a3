// UsbKey: the USB-key library the service binds by import ("UsbKey.dll", standard calling
// convention, these names exactly). This build is the system's stand-in: it simulates one key
// slot whose key keeps its data across restarts, one file per key (see README, "USB key").
//
// Results: numbers are 1 for success and 0 for failure; USBKey_Check_PW and USBKey_DOSIGN tell a
// locked PIN apart (-1, and an empty text). Texts are zero-terminated wide strings that the
// library owns; each stays valid until the next call of the same function. An empty text means
// failure.
//
// Every function but USBKey_Init_HS works on the key that the last successful USBKey_Init_HS
// found; call it first.
//
// The PIN ("12345678" when new or after USBKey_Factory_Init) allows 6 tries: each wrong PIN
// given to USBKey_Check_PW or USBKey_DOSIGN uses one, a right one restores all six, and with none
// left the PIN is locked until USBKey_Factory_Init. PINs are 4 to 16 bytes. The try is written to
// the key before the PIN is compared (and given back after a right one): when it cannot be
// written, the PIN is not compared and the call fails.
//
// "length" parameters: the number of bytes of the text to take (0 or less fails). The library
// stops at the text's terminating zero if that comes first, so it never reads past it. Stored
// items hold up to 131072 bytes each. Texts are stored as the bytes given and read back as
// UTF-8 whatever the system's code page (bytes that are not UTF-8 read as U+FFFD).
#pragma once

#include "platform/export.h"

// 1 when a key is present and its data could be read (a new key is made on first use: a fresh
// RSA-2048 key pair, its self-signed certificate, the default PIN); 0 otherwise.
TW_EXPORT short TW_STDCALL USBKey_Init_HS();
// The reader's name, "Tarnwick Virtual USB Key 0".
TW_EXPORT const wchar_t* TW_STDCALL USBKey_GetReaderName();
// The key's serial number (ten digits for simulated keys, for example "7301000001").
TW_EXPORT const wchar_t* TW_STDCALL USBKey_Get_SerialNumber();
// Back to the state of a new key: a new key pair and self-signed certificate, the default PIN
// with all its tries, no certificate password and no signature picture.
TW_EXPORT short TW_STDCALL USBKey_Factory_Init();
// Empties the key: key pair, certificate, certificate password and signature picture. The PIN
// stays. USBKey_DOSIGN fails until USBKey_Factory_Init makes a key pair again.
TW_EXPORT short TW_STDCALL USBKey_Format();
// Empties one stored item, chosen by kl: "1" the certificate, "2" the certificate password,
// "3" the signature picture, "0" all three. The key pair and the PIN stay. Other texts fail.
TW_EXPORT short TW_STDCALL USBKey_Erase(const char* kl);
// 1 for the right PIN, 0 for a wrong one, -1 when the PIN is locked.
TW_EXPORT short TW_STDCALL USBKey_Check_PW(const char* password);
// Sets a new PIN (4 to 16 bytes) and restores its tries; only after the current PIN was given
// (USBKey_Check_PW or USBKey_DOSIGN) since the key was found, and not while locked.
TW_EXPORT short TW_STDCALL USBKey_Reset_PW(const char* password);
TW_EXPORT short TW_STDCALL USBKey_Write_Certificate_Password(const char* certPassword, unsigned short length);
TW_EXPORT const wchar_t* TW_STDCALL USBKey_Read_Certificate_Password();
// The certificate slot: after USBKey_Factory_Init it holds the key pair's self-signed X.509
// certificate as PEM text; afterwards whatever was written.
TW_EXPORT short TW_STDCALL USBKey_Write_Certificate(const char* certificate, int length);
TW_EXPORT const wchar_t* TW_STDCALL USBKey_Read_Certificate();
// The signature picture, stored as the text given (a page stores Base64 of a JPEG).
TW_EXPORT short TW_STDCALL USBKey_WriteFile(const char* signature, int length);
TW_EXPORT const wchar_t* TW_STDCALL USBKey_ReadFile();
// Checks the PIN (as USBKey_Check_PW does), then signs the first `length` bytes of content with
// the key pair: RSASSA-PKCS1-v1_5 with SHA-256. The result is the Base64 text (RFC 4648, with
// padding) of the 256-byte signature, which the public key in the self-signed certificate
// verifies. Empty on a wrong or locked PIN, a formatted key or a length of 0 or less.
TW_EXPORT const wchar_t* TW_STDCALL USBKey_DOSIGN(const char* content, int length, const char* password);

// Test controls (standin.h). Settings: "present" (0/1; standin::Device::kNotForced follows
// TARNWICK_SIM). Forced results, by function: "init", "factoryInit", "format", "erase",
// "checkPassword", "resetPassword", "writeCertPassword", "writeCertificate", "writeFile" return
// the value given; "readerName", "serialNumber", "readCertPassword", "readCertificate",
// "readFile", "sign" return an empty text.
TW_EXPORT void TW_STDCALL SimUsbKey_Control(const char* setting, int value);
TW_EXPORT int TW_STDCALL SimUsbKey_Calls(const char* function);
// Texts: "folder" the store's folder, "serial" the serial number of the key in the slot (letters,
// digits, '.', '-' and '_', up to 32). A null or empty value restores the default (the folder
// from TARNWICK_USBKEY_DIR or the program-data folder; serial "7301000001").
TW_EXPORT int TW_STDCALL SimUsbKey_Text(const char* setting, const char* value);
// What a function last received: the bytes it took (into `bytes`, cut to size-1 and
// zero-terminated) and, as the result, the length it was given (-1 for functions without one,
// -2 when not called since the last reset). `what` is the function's name, or
// "USBKey_DOSIGN password" for the password given to USBKey_DOSIGN.
TW_EXPORT int TW_STDCALL SimUsbKey_Received(const char* what, char* bytes, int size);
