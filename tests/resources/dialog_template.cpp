#include "dialog_template.h"

namespace {

constexpr std::uint32_t kDsSetFont = 0x40;
constexpr std::uint32_t kDsShellFont = 0x48;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, std::string* error) : data_(data), size_(size), error_(error) {}

  std::size_t offset() const { return offset_; }

  bool Byte(std::uint8_t& value, const char* field) {
    if (!Need(1, field)) return false;
    value = data_[offset_++];
    return true;
  }

  bool Word(std::uint16_t& value, const char* field) {
    if (!Need(2, field)) return false;
    value = static_cast<std::uint16_t>(data_[offset_] | (data_[offset_ + 1] << 8));
    offset_ += 2;
    return true;
  }

  bool Short(std::int16_t& value, const char* field) {
    std::uint16_t raw = 0;
    if (!Word(raw, field)) return false;
    value = static_cast<std::int16_t>(raw);
    return true;
  }

  bool Dword(std::uint32_t& value, const char* field) {
    std::uint16_t low = 0, high = 0;
    if (!Word(low, field) || !Word(high, field)) return false;
    value = static_cast<std::uint32_t>(low) | (static_cast<std::uint32_t>(high) << 16);
    return true;
  }

  bool String(std::wstring& value, const char* field) {
    value.clear();
    for (;;) {
      std::uint16_t unit = 0;
      if (!Word(unit, field)) return false;
      if (unit == 0) return true;
      value.push_back(static_cast<wchar_t>(unit));
    }
  }

  bool NameOrOrd(NameOrOrdinal& value, const char* field) {
    std::uint16_t first = 0;
    if (!Word(first, field)) return false;
    value = NameOrOrdinal{};
    if (first == 0xFFFF) {
      value.isOrdinal = true;
      return Word(value.ordinal, field);
    }
    if (first == 0) return true;
    std::wstring rest;
    if (!String(rest, field)) return false;
    value.name = static_cast<wchar_t>(first) + rest;
    return true;
  }

  bool Skip(std::size_t count, const char* field) {
    if (!Need(count, field)) return false;
    offset_ += count;
    return true;
  }

  // Items start on a DWORD boundary; the padding may be missing after the last one.
  void AlignDword() { offset_ = (offset_ + 3) & ~static_cast<std::size_t>(3); }

 private:
  bool Need(std::size_t count, const char* field) {
    if (offset_ <= size_ && size_ - offset_ >= count) return true;
    *error_ = std::string("template ends inside ") + field + " at offset " + std::to_string(offset_) + " of " +
              std::to_string(size_);
    return false;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  std::string* error_;
};

bool ReadItem(Reader& in, DialogItemTemplate& item) {
  return in.Dword(item.helpId, "item help id") && in.Dword(item.exStyle, "item extended style") &&
         in.Dword(item.style, "item style") && in.Short(item.x, "item x") && in.Short(item.y, "item y") &&
         in.Short(item.cx, "item cx") && in.Short(item.cy, "item cy") && in.Dword(item.id, "item id") &&
         in.NameOrOrd(item.windowClass, "item class") && in.NameOrOrd(item.title, "item title") &&
         in.Word(item.extraCount, "item creation data size") && in.Skip(item.extraCount, "item creation data");
}

}  // namespace

std::optional<DialogTemplateEx> ParseDialogTemplateEx(const void* data, std::size_t size, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  Reader in(static_cast<const std::uint8_t*>(data), size, error);
  DialogTemplateEx dlg;
  std::uint16_t count = 0;
  if (!(in.Word(dlg.version, "version") && in.Word(dlg.signature, "signature"))) {
    return std::nullopt;
  }
  if (dlg.version != 1 || dlg.signature != 0xFFFF) {
    *error = "not an extended template (version and signature are not 1 and 0xFFFF)";
    return std::nullopt;
  }
  if (!(in.Dword(dlg.helpId, "help id") && in.Dword(dlg.exStyle, "extended style") && in.Dword(dlg.style, "style") &&
        in.Word(count, "item count") && in.Short(dlg.x, "x") && in.Short(dlg.y, "y") && in.Short(dlg.cx, "cx") &&
        in.Short(dlg.cy, "cy") && in.NameOrOrd(dlg.menu, "menu") && in.NameOrOrd(dlg.windowClass, "class") &&
        in.String(dlg.title, "title"))) {
    return std::nullopt;
  }
  dlg.hasFont = (dlg.style & kDsSetFont) != 0 || (dlg.style & kDsShellFont) == kDsShellFont;
  if (dlg.hasFont &&
      !(in.Word(dlg.pointSize, "point size") && in.Word(dlg.weight, "font weight") && in.Byte(dlg.italic, "italic") &&
        in.Byte(dlg.charset, "charset") && in.String(dlg.typeface, "typeface"))) {
    return std::nullopt;
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    in.AlignDword();
    DialogItemTemplate item;
    if (!ReadItem(in, item)) return std::nullopt;
    dlg.items.push_back(item);
  }
  dlg.bytesUsed = in.offset();
  return dlg;
}
