#include "ui/language.h"

#include <functional>

#include "support/profile.h"
#include "support/text.h"
#include "ui/main_logic.h"

namespace tervane {

void LanguageMenu::Scan() {
  for (const Path& name : ListFilesWithSuffix(folder_, u".ini")) AddLanguageMenuItem(name);
}

std::u16string LanguageMenu::ReadLangString(std::u16string_view section, std::u16string_view key,
                                            const Path& fileName, std::u16string_view defaultValue) const {
  return ReadProfileString(folder_ + fileName, section, key, defaultValue);
}

void LanguageMenu::AddLanguageMenuItem(const Path& fileName) {
  TLangMenuItem item;
  item.LanguageFile = fileName;
  const std::u16string id = ReadLangString(kLanguageSection, kLanguageIDKey, fileName, u"");
  item.LanguageID = ParseLanguageID(ToSystem8(LowerCase(id)));
  item.Caption = ReadLangString(kTextSection, kMenuCaptionKey, fileName, kMenuCaptionDefault);
  entries_.push_back(std::move(item));
}

int LanguageMenu::ChooseFor(std::uint16_t user) const {
  int exact = -1, primary = -1;
  for (int i = 0; i < static_cast<int>(entries_.size()); ++i) {
    const std::uint16_t id = entries_[static_cast<std::size_t>(i)].LanguageID;
    if (id == user)
      exact = i;
    else if ((id & 0x3FF) == (user & 0x3FF) && primary < 0)
      primary = i;
  }
  return exact >= 0 ? exact : primary;
}

void LanguageMenu::SetCurrent(int index) {
  if (current_ >= 0) entries_[static_cast<std::size_t>(current_)].Checked = false;
  current_ = index;
  if (current_ >= 0) entries_[static_cast<std::size_t>(current_)].Checked = true;
}

void ApplyLanguage(const LanguageMenu& menu, const Path& fileName, LanguageContext& c) {
  // One reading of the file for the whole application; a missing file or key leaves every
  // text as it is.
  const std::u16string content = [&] {
    File f = File::OpenForRead(menu.Folder() + fileName);
    const auto size = f.Size();
    if (!f.IsOpen() || !size) return std::u16string();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
    bytes.resize(f.Read(bytes.data(), bytes.size()));
    return DecodeProfileText(bytes);
  }();
  auto lookup = [&](const std::u16string& key, const std::u16string& current) {
    auto value = FindProfileValue(content, kTextSection, key);
    return value ? *value : current;
  };

  for (const LanguageKey& k : ApplyLanguageKeys()) {
    switch (k.group) {
      case LanguageKeyGroup::MessageText:
        if (auto id = FindMessageKey(k.key)) c.texts.Set(*id, lookup(k.key, c.texts.Get(*id)));
        break;
      case LanguageKeyGroup::EditorDialog:
        if (k.key == u"btnProcessAffinity.Caption") {
          // Only the base text changes; the marker follows the group's state.
          c.editor.affinityBase = lookup(k.key, c.editor.affinityBase);
          c.windows.SetText(k.group, k.key, c.editor.AffinityButtonCaption());
          break;
        }
        if (k.key.rfind(u"cbbPriority.Items[", 0) == 0) {
          const int index = k.key[18] - u'0';
          const std::u16string name = lookup(k.key, c.texts.PriorityName(index));
          c.texts.SetPriorityName(index, name);
          c.windows.SetText(k.group, k.key, name);
          break;
        }
        [[fallthrough]];
      default:
        if (auto current = c.windows.Text(k.group, k.key))
          c.windows.SetText(k.group, k.key, lookup(k.key, *current));
        break;
    }
  }
  for (int i = 0; i < kExtraTextCount; ++i) {
    const auto id = static_cast<ExtraMsg>(i);
    c.texts.Set(id, lookup(std::u16string(ExtraTextTable()[i].key), c.texts.Get(id)));
  }
  c.rows.Retranslate();  // the Priority cells, and the state cells of paused servers not showing "-"
}

bool LanguageMenuItemClick(LanguageMenu& menu, int index, LanguageContext& context) {
  if (index < 0 || index >= static_cast<int>(menu.Entries().size()) || index == menu.CurrentLanguageItem())
    return false;
  ApplyLanguage(menu, menu.Entries()[static_cast<std::size_t>(index)].LanguageFile, context);
  menu.SetCurrent(index);
  return true;
}

}  // namespace tervane
