#include "engine/dbc_names.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "engine/byte_order.h"
#include "engine/dbf_fields.h"
#include "engine/text_helpers.h"
#include "platform/path.h"

namespace tessera {
namespace {

constexpr uint8_t kPropertyPath = 0x01;
constexpr uint8_t kSystemField = 0x01;  // descriptor byte 18: hidden system field (_NullFlags)

// A container is itself a table and could, damaged, link to a container;
// one level is read, never more.
thread_local bool g_reading_container = false;

// The path property of a table object, "" when it has none.
std::string PathProperty(const std::string& blob) {
  size_t at = 0;
  while (at + 7 <= blob.size()) {
    const uint32_t length = bytes::GetLE32(reinterpret_cast<const uint8_t*>(blob.data() + at));
    if (length < 7 || length > blob.size() - at) break;
    if (static_cast<uint8_t>(blob[at + 6]) == kPropertyPath) {
      std::string value = blob.substr(at + 7, length - 7);
      const size_t nul = value.find('\0');
      if (nul != std::string::npos) value.resize(nul);
      return value;
    }
    at += length;
  }
  return std::string();
}

// The file name part of a path written with either separator.
std::string FileNamePart(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int32_t WholeNumber(KTO_dBaseFld& t, int field) {
  const double v = t.GetNumberN(field);
  return std::isfinite(v) && std::fabs(v) < 2147483647.0 ? static_cast<int32_t>(v) : -1;
}

}  // namespace

ContainerNames ReadContainerNames(const KTO_dBaseDBF& table) {
  ContainerNames out;
  const std::string& link = table.ContainerLink();
  if (link.empty() || g_reading_container) return out;
  std::string relative = link;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const std::string path = relative[0] == '/' ? relative : plat::DirectoryOf(table.GivenName()) + relative;
  if (!plat::FileExists(path)) {
    out.problem = "database container " + link + " not found";
    return out;
  }
  g_reading_container = true;
  struct Reset {
    ~Reset() { g_reading_container = false; }
  } reset;
  try {
    KTO_dBaseFld dbc(path, true, false);
    const int id = dbc.FieldNumber("OBJECTID"), parent = dbc.FieldNumber("PARENTID");
    const int type = dbc.FieldNumber("OBJECTTYPE"), name = dbc.FieldNumber("OBJECTNAME");
    const int property = dbc.FieldNumber("PROPERTY");
    if (id == 0 || parent == 0 || type == 0 || name == 0) {
      out.problem = "database container " + link + " is not one";
      return out;
    }
    // The table's object: the one whose path names the table's file, else
    // the one named like the file.
    const std::string file = plat::UpperName(FileNamePart(table.GivenName()));
    const std::string base = plat::UpperName(BaseName(table.GivenName()));
    int32_t by_path = 0, by_name = 0;
    for (int32_t r = 1; r <= dbc.RecordCount(); ++r) {
      dbc.GotoRecord(r);
      if (dbc.IsDeleted() || TrimText(dbc.GetRawN(type)) != "Table") continue;
      if (property != 0 && plat::UpperName(FileNamePart(PathProperty(dbc.MemoText(property)))) == file) {
        by_path = WholeNumber(dbc, id);
        break;
      }
      if (by_name == 0 && plat::UpperName(TrimText(dbc.GetRawN(name))) == base) by_name = WholeNumber(dbc, id);
    }
    const int32_t owner = by_path > 0 ? by_path : by_name;
    if (owner <= 0) {
      out.problem = "database container " + link + " does not hold the table";
      return out;
    }
    std::vector<std::string> long_names;
    for (int32_t r = 1; r <= dbc.RecordCount(); ++r) {
      dbc.GotoRecord(r);
      if (dbc.IsDeleted() || TrimText(dbc.GetRawN(type)) != "Field" || WholeNumber(dbc, parent) != owner) continue;
      long_names.push_back(TrimText(dbc.GetRawN(name)));
    }
    // The container's fields are the table's own, system fields left out;
    // a container that disagrees with the table is out of date and names
    // nothing.
    int own_fields = 0;
    for (const DbfField& f : table.Fields())
      if ((f.flags & kSystemField) == 0) ++own_fields;
    if (static_cast<int>(long_names.size()) != own_fields) {
      out.problem = "database container " + link + " describes " + std::to_string(long_names.size()) +
                    " fields of the table, which has " + std::to_string(own_fields);
      return out;
    }
    size_t next = 0;
    for (const DbfField& f : table.Fields())
      out.names.push_back((f.flags & kSystemField) == 0 ? long_names[next++] : std::string());
  } catch (const std::exception& e) {
    out.names.clear();
    out.problem = "database container " + link + " cannot be read: " + e.what();
  }
  return out;
}

}  // namespace tessera
