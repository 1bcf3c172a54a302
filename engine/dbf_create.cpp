#include "engine/dbf_create.h"

#include <cctype>
#include <cstring>
#include <set>

#include "engine/byte_order.h"
#include "engine/dbf_field.h"
#include "engine/errors.h"
#include "engine/memo.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/file.h"
#include "platform/last_error.h"
#include "platform/path.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

using bytes::PutLE16;
using bytes::PutLE32;

[[noreturn]] void Refuse(int32_t code, const std::string& info) {
  ReportEngineError(code, kNoSubCode, info);
  throw ETesseraError(ComposeEngineError(code, kNoSubCode, info));  // a handler that returned
}

bool ValidName(const std::string& n) {
  if (n.empty() || n.size() > 10) return false;
  if (!(std::isalpha(static_cast<unsigned char>(n[0])) || n[0] == '_')) return false;
  for (char c : n)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

// Checks one field and fills in its fixed width.
FieldSpec Checked(const FieldSpec& in, uint8_t version) {
  FieldSpec f = in;
  f.name = plat::UpperName(TrimText(f.name));
  if (!ValidName(f.name)) Refuse(kCodeFieldName, in.name);
  f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
  const bool fox = version == 0x30 || version == 0x31 || version == 0x32;
  auto fixed = [&](int w) {
    if (f.width != 0 && f.width != w) Refuse(kCodeFieldType, f.name);
    f.width = w;
    f.decimals = 0;
  };
  switch (f.type) {
    case 'C':
      if (f.width < 1 || f.width > 65535) Refuse(kCodeFieldType, f.name);
      f.decimals = 0;
      break;
    case 'N':
    case 'F':
      if (f.width < 1 || f.width > 20 || f.decimals < 0 || (f.decimals > 0 && f.decimals >= f.width) || f.decimals > 18)
        Refuse(kCodeFieldType, f.name);
      break;
    case 'D': fixed(8); break;
    case 'L': fixed(1); break;
    case 'M':
    case 'G':
      if (version == 0x03) Refuse(kCodeFieldType, f.name);
      fixed(fox ? 4 : 10);
      break;
    case 'B':
      if (!fox && version == 0x03) Refuse(kCodeFieldType, f.name);
      fixed(fox ? 8 : 10);
      if (fox) f.decimals = in.decimals;
      break;
    case 'I': fixed(4); break;
    case 'T': fixed(8); break;
    case 'Y':
      fixed(8);
      f.decimals = 4;
      break;
    case 'V':
    case 'Q':
    case 'W':
      // Varchar, varbinary and blob belong to 0x32 tables; in others these
      // letters are plain text.
      if (version == 0x32) {
        if (f.type == 'W') {
          fixed(4);
        } else {
          if (f.width < 1 || f.width > 254) Refuse(kCodeFieldType, f.name);
          f.decimals = 0;
        }
        break;
      }
      [[fallthrough]];
    default:
      if (f.width < 1 || f.width > 255 || f.decimals < 0 || f.decimals > 255) Refuse(kCodeFieldType, f.name);
  }
  if ((f.type == 'I' || f.type == 'T' || f.type == 'Y') && !fox) {
    // Outside Visual FoxPro tables these letters are plain text of the
    // given width (binary at their fixed widths).
    if (in.width > 0) f.width = in.width;
  }
  if ((f.nullable && !fox) || (f.autoincrement && (!fox || f.type != 'I'))) Refuse(kCodeFieldType, f.name);
  return f;
}

}  // namespace

void CreateTable(std::string_view file_name, uint8_t version, const std::vector<FieldSpec>& fields,
                 const CreateOptions& options) {
  const bool fox = version == 0x30 || version == 0x31 || version == 0x32;
  if (version != 0x03 && version != 0x83 && version != 0x8B && version != 0xF5 && !fox)
    Refuse(kCodeHeaderInvalid, "version " + std::to_string(version));
  const std::string name = DefaultExtension(TrimText(file_name), ".DBF");
  const std::string full = plat::FullPath(name);
  const std::string upper = plat::UpperName(full);
  if (fields.empty()) Refuse(kCodeHeaderInvalid, upper);

  std::vector<FieldSpec> checked;
  std::set<std::string> names;
  int64_t record_length = 1;
  bool needs_memo = false;
  int null_bits = 0;
  for (const FieldSpec& in : fields) {
    FieldSpec f = Checked(in, version);
    if (!names.insert(f.name).second) Refuse(kCodeFieldName, f.name);
    record_length += f.width;
    needs_memo |= f.type == 'M' || f.type == 'G' || f.type == 'W' || (f.type == 'B' && !fox);
    null_bits += (f.type == 'V' || f.type == 'Q' ? 1 : 0) + (f.nullable ? 1 : 0);
    checked.push_back(f);
  }
  if (null_bits > 0) {
    // One bit per nullable field and per varchar or varbinary field, in a
    // hidden system field after the others.
    FieldSpec flags{"_NullFlags", '0', (null_bits + 7) / 8, 0};
    record_length += flags.width;
    checked.push_back(flags);
  }
  const int64_t area = fox ? 296 : 33;
  const int64_t header_length = 32 + 32 * static_cast<int64_t>(checked.size()) + area - 32;
  if (record_length > 65520 || header_length > 65535 || checked.size() > 4096)
    Refuse(kCodeHeaderInvalid, upper);

  if (!options.overwrite && plat::FileExists(full)) Refuse(plat::kErrAlreadyExists, upper);

  std::vector<uint8_t> image(static_cast<size_t>(header_length) + 1, 0);
  uint8_t* h = image.data();
  h[0] = version;
  const plat::CivilDate today = plat::Today();
  h[1] = static_cast<uint8_t>(today.year % 100);
  h[2] = static_cast<uint8_t>(today.month);
  h[3] = static_cast<uint8_t>(today.day);
  PutLE32(h + 4, 0);
  PutLE16(h + 8, static_cast<uint32_t>(header_length));
  PutLE16(h + 10, static_cast<uint32_t>(record_length));
  if (fox && needs_memo) h[28] = 0x02;
  uint32_t offset = 1;
  for (size_t i = 0; i < checked.size(); ++i) {
    const FieldSpec& f = checked[i];
    uint8_t* d = h + 32 + 32 * i;
    std::memcpy(d, f.name.data(), f.name.size());
    d[11] = static_cast<uint8_t>(f.type);
    if (fox) PutLE32(d + 12, offset);
    if (f.type == 'C') {
      d[16] = static_cast<uint8_t>(f.width & 0xFF);
      d[17] = static_cast<uint8_t>(f.width >> 8);
    } else {
      d[16] = static_cast<uint8_t>(f.width);
      d[17] = static_cast<uint8_t>(f.decimals);
    }
    if (fox && (f.type == 'I' || f.type == 'T' || f.type == 'Y' || f.type == 'B')) d[18] = kFoxBinary;
    if (f.type == 'Q') d[18] = kFoxBinary;
    if (f.nullable) d[18] |= kFoxNullable;
    if (f.type == '0') d[18] = kFoxSystem | kFoxBinary;
    if (f.autoincrement) {
      // Next value 1, step 1.
      d[18] |= kFoxAutoIncrement | kFoxBinary;
      PutLE32(d + 19, 1);
      d[23] = 1;
    }
    offset += static_cast<uint32_t>(f.width);
  }
  h[32 + 32 * checked.size()] = 0x0D;
  image[static_cast<size_t>(header_length)] = kEndOfFileMark;

  plat::FileHandle file = plat::FileHandle::Create(full, true, false);
  if (!file.valid()) Refuse(plat::LastError(), upper);
  if (!file.WriteAt(0, image.data(), static_cast<int64_t>(image.size()))) Refuse(plat::LastError(), upper);
  file.Close();

  const bool memo_version = version == 0x83 || version == 0x8B || version == 0xF5;
  if (memo_version || (fox && needs_memo)) {
    const std::string memo = plat::DirectoryOf(full) + BaseName(full) +
                             (version == 0x83 || version == 0x8B ? ".DBT" : ".FPT");
    // The memo file takes the spelling of the table's extension case.
    std::string spelled = memo;
    const std::string_view ext = ExtensionOf(full);
    if (!ext.empty() && ext[1] >= 'a' && ext[1] <= 'z')
      for (size_t i = spelled.size() - 3; i < spelled.size(); ++i) spelled[i] = static_cast<char>(spelled[i] + 32);
    KTobjMemo::CreateFile(spelled, version, options.memo_block_size, BaseName(full));
  }
}

}  // namespace tessera
