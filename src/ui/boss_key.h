// The boss key: a global hot key that hides the whole program (main window, tray icon and
// every server console) and brings it back on the next press. Its three settings are stored
// behind the records of serverlist.dat. This is the part that decides; the windows carry it out.
#pragma once

#include <cstdint>
#include <functional>

#include "core/server_list.h"

namespace tervane {

inline constexpr int kBossKeyId = 48611;  // 0xBDE3

// Modifier bits of a hot-key control's value (high byte) and of the hot-key registration.
inline constexpr std::uint8_t kHotKeyShift = 0x01, kHotKeyControl = 0x02, kHotKeyAlt = 0x04;
inline constexpr std::uint8_t kModAlt = 0x01, kModControl = 0x02, kModShift = 0x04;

// The hot-key control's value (virtual key in the low byte, control modifiers in the high
// byte) from the stored settings, and the registration modifiers from a control value.
std::uint16_t HotKeyValueFromSettings(std::uint8_t modifiers, std::uint8_t key);
std::uint8_t ModifiersFromHotKeyValue(std::uint16_t value);

// Registration of the one global hot key of the main window.
class IHotKeyRegistrar {
 public:
  virtual ~IHotKeyRegistrar() = default;
  virtual bool Register(std::uint8_t modifiers, std::uint8_t key) = 0;
  virtual void Unregister() = 0;
};

class BossKey {
 public:
  BossKey(BossKeyOptions& options, IHotKeyRegistrar& registrar, std::function<void()> save)
      : options_(options), registrar_(registrar), save_(std::move(save)) {}

  // Start-up: registers the stored key when it is enabled and has a modifier and a key.
  // Answers whether the program starts boss-hidden (registered, and no console meant to be
  // visible: every server hides its console, or there are none).
  bool InitBossKey(const ServerList& list);

  bool Registered() const { return registered_; }

  // The dialog's controls as InitBossKey sets them.
  bool DialogChecked() const { return options_.BossKeyEnabled != 0; }
  std::uint16_t DialogHotKey() const {
    return HotKeyValueFromSettings(options_.BossKeyModifiers, options_.BossKeyCode);
  }

  enum class OkResult { Close, StayOpen, RegisterFailed };
  // The dialog's OK button, given the controls and the values saved when it was shown.
  OkResult btnOKClick(std::uint16_t hotKey, bool checked, std::uint16_t savedHotKey, bool savedChecked);

  // When the program ends.
  void Release();

 private:
  BossKeyOptions& options_;
  IHotKeyRegistrar& registrar_;
  std::function<void()> save_;
  bool registered_ = false;
};

}  // namespace tervane
