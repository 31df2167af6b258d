#include "ui/boss_key.h"

namespace tervane {

std::uint16_t HotKeyValueFromSettings(std::uint8_t modifiers, std::uint8_t key) {
  std::uint8_t flags = 0;
  if (modifiers & kModShift) flags |= kHotKeyShift;
  if (modifiers & kModControl) flags |= kHotKeyControl;
  if (modifiers & kModAlt) flags |= kHotKeyAlt;
  return static_cast<std::uint16_t>(key | (flags << 8));
}

std::uint8_t ModifiersFromHotKeyValue(std::uint16_t value) {
  const std::uint8_t flags = static_cast<std::uint8_t>(value >> 8);
  std::uint8_t modifiers = 0;
  if (flags & kHotKeyAlt) modifiers |= kModAlt;
  if (flags & kHotKeyControl) modifiers |= kModControl;
  if (flags & kHotKeyShift) modifiers |= kModShift;
  return modifiers;
}

bool BossKey::InitBossKey(const ServerList& list) {
  // A key without any modifier is never registered at start-up.
  if (options_.BossKeyEnabled && options_.BossKeyModifiers != 0 && options_.BossKeyCode != 0)
    registered_ = registrar_.Register(options_.BossKeyModifiers, options_.BossKeyCode);
  bool visibleConsole = false;
  for (const auto& e : list) visibleConsole = visibleConsole || e->HideServer == 0;
  return registered_ && !visibleConsole;
}

BossKey::OkResult BossKey::btnOKClick(std::uint16_t hotKey, bool checked, std::uint16_t savedHotKey,
                                      bool savedChecked) {
  if (hotKey == savedHotKey && checked == savedChecked && registered_) return OkResult::Close;
  if (hotKey == 0) return OkResult::StayOpen;
  options_.BossKeyEnabled = checked ? 1 : 0;
  options_.BossKeyCode = static_cast<std::uint8_t>(hotKey & 0xFF);
  options_.BossKeyModifiers = ModifiersFromHotKeyValue(hotKey);
  if (registered_) {
    registrar_.Unregister();
    registered_ = false;
  }
  OkResult result = OkResult::Close;
  if (checked) {
    registered_ = registrar_.Register(options_.BossKeyModifiers, options_.BossKeyCode);
    if (!registered_) result = OkResult::RegisterFailed;
  }
  // Saved also after a failed registration: the next start tries again.
  if (save_) save_();
  return result;
}

void BossKey::Release() {
  if (registered_) registrar_.Unregister();
  registered_ = false;
}

}  // namespace tervane
