#pragma once

// Reads an extended dialog template (DLGTEMPLATEEX with its DLGITEMTEMPLATEEX
// items) as stored in an RT_DIALOG resource, so a test can compare every field
// with what the program is meant to carry. Bounds-checked: a short or malformed
// template is reported, never read past its end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A field that holds either a zero-terminated UTF-16 name or 0xFFFF and a
// 16-bit ordinal; a single zero word is an empty name.
struct NameOrOrdinal {
  bool isOrdinal = false;
  std::uint16_t ordinal = 0;
  std::wstring name;
};

struct DialogItemTemplate {
  std::uint32_t helpId = 0;
  std::uint32_t exStyle = 0;
  std::uint32_t style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::uint32_t id = 0;
  NameOrOrdinal windowClass;
  NameOrOrdinal title;
  std::uint16_t extraCount = 0;
};

struct DialogTemplateEx {
  std::uint16_t version = 0;
  std::uint16_t signature = 0;
  std::uint32_t helpId = 0;
  std::uint32_t exStyle = 0;
  std::uint32_t style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  NameOrOrdinal menu;
  NameOrOrdinal windowClass;
  std::wstring title;
  // Present only when the style has DS_SETFONT or DS_SHELLFONT.
  bool hasFont = false;
  std::uint16_t pointSize = 0;
  std::uint16_t weight = 0;
  std::uint8_t italic = 0;
  std::uint8_t charset = 0;
  std::wstring typeface;
  std::vector<DialogItemTemplate> items;
  // Bytes up to the end of the last item, before any alignment padding.
  std::size_t bytesUsed = 0;
};

// Returns the template, or nothing with the reason in *error.
std::optional<DialogTemplateEx> ParseDialogTemplateEx(const void* data, std::size_t size, std::string* error);
