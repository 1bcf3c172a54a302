// Long field names of Visual FoxPro tables in a database container: the
// names the container gives are what the table's fields answer to, in the
// field layer and in expressions; without a usable container the short
// names of the descriptors serve.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/byte_order.h"
#include "engine/dbc_names.h"
#include "engine/dbf_create.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "support/realworld.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::RealWorld;
using testing_support::TempDir;

std::string EvalText(KTO_dBaseFld& table, const std::string& expression, int32_t recno) {
  tessera::TktExpHandler h(table.NameResolver(), false, expression);
  table.GotoRecord(recno);
  tessera::TktExpValue v;
  h.Evaluate(v);
  return v.AsText();
}

// A table property of the container: length, 01 00, id, value.
std::string Property(uint8_t id, const std::string& value) {
  std::string p(7, '\0');
  tessera::bytes::PutLE32(reinterpret_cast<uint8_t*>(p.data()), static_cast<uint32_t>(7 + value.size()));
  p[4] = 1;
  p[6] = static_cast<char>(id);
  return p + value;
}

class ContainerNamesTest : public ::testing::Test {
 protected:
  tessera::EngineScope engine_;
  TempDir dir_;

  // A container "shop.dbc" (memos in "shop.dct") that holds `objects`:
  // (object id, parent id, type, name, property blob).
  struct Object {
    int id, parent;
    std::string type, name, property;
  };
  void MakeContainer(const std::vector<Object>& objects) {
    tessera::CreateTable(dir_ / "shop.dbc", 0x30,
                         {{"OBJECTID", 'I'}, {"PARENTID", 'I'}, {"OBJECTTYPE", 'C', 10}, {"OBJECTNAME", 'C', 128},
                          {"PROPERTY", 'M'}});
    std::filesystem::rename(dir_ / "shop.fpt", dir_ / "shop.dct");
    KTO_dBaseFld dbc(dir_ / "shop.dbc", false, true);
    for (const Object& o : objects) {
      dbc.BlankRecord();
      dbc.PutNumberN(1, o.id);
      dbc.PutNumberN(2, o.parent);
      dbc.PutTextN(3, o.type);
      dbc.PutTextN(4, o.name);
      int32_t size = static_cast<int32_t>(o.property.size());
      ASSERT_TRUE(dbc.MemoWrite(5, o.property.data(), &size));
      dbc.AppendRecord();
    }
  }

  // A table of the container: "orders.dbf" with ORDER_NUMB, CUSTOMER_N
  // and a nullable field (so the table has the _NullFlags system field),
  // linked to `link`.
  void MakeTable(const std::string& link) {
    const std::string path = dir_ / "orders.dbf";
    tessera::CreateTable(path, 0x30, {{"ORDER_NUMB", 'I'}, {"CUSTOMER_N", 'C', 12}, {"_NullFlags", 'C', 1}},
                         {0, true});
    std::string bytes = testing_support::ReadFileBytes(path);
    const size_t header_length = tessera::bytes::GetLE16(reinterpret_cast<const uint8_t*>(bytes.data() + 8));
    bytes[32 + 2 * 32 + 18] = 0x05;  // _NullFlags: a system field
    bytes.replace(header_length - 263, link.size(), link);
    testing_support::WriteFileBytes(path, bytes);
  }

  std::vector<Object> ShopObjects(const std::string& path = "orders.dbf") {
    return {{1, 1, "Database", "Database", ""},
            {2, 1, "Table", "orders", Property(2, "\x01") + Property(1, path + std::string(1, '\0'))},
            {3, 2, "Field", "order_number", ""},
            {4, 2, "Field", "customer_name", ""},
            {5, 1, "Table", "other", Property(1, std::string("other.dbf") + '\0')},
            {6, 5, "Field", "something_else", ""}};
  }
};

TEST_F(ContainerNamesTest, FieldsAnswerToTheContainersLongNamesAndTheirShortOnes) {
  MakeContainer(ShopObjects());
  MakeTable("shop.dbc");
  KTO_dBaseFld t(dir_ / "orders.dbf", true, true);
  EXPECT_EQ(t.ContainerProblem(), "");
  EXPECT_EQ(t.Field(1).FullName(), "order_number");
  EXPECT_EQ(t.Field(2).FullName(), "customer_name");
  EXPECT_EQ(t.Field(2).Name(), "CUSTOMER_N");
  EXPECT_EQ(t.Field(3).FullName(), "_NULLFLAGS");  // the system field has no long name
  EXPECT_EQ(t.FieldNumber("customer_name"), 2);
  EXPECT_EQ(t.FieldNumber("CUSTOMER_NAME  "), 2);
  EXPECT_EQ(t.FieldNumber("customer_n"), 2);
  EXPECT_EQ(t.FieldNumber("customer_nam"), 0);

  t.BlankRecord();
  t.PutText("customer_name", "Smith");
  t.PutNumber("order_number", 42);
  t.AppendRecord();
  EXPECT_EQ(EvalText(t, "customer_name + STR(order_number, 3)", 1), "Smith        42");
  EXPECT_EQ(EvalText(t, "CUSTOMER_N", 1), "Smith       ");
  EXPECT_EQ(EvalText(t, "orders.customer_name", 1), "Smith       ");
}

TEST_F(ContainerNamesTest, TheTableIsFoundByItsPathOrElseByItsName) {
  // The container's table object carries another name than the file but
  // its path names the file; then one that only carries the file's name.
  auto objects = ShopObjects("..\\data\\ORDERS.DBF");
  objects[1].name = "orders_of_the_shop";
  MakeContainer(objects);
  MakeTable("shop.dbc");
  {
    KTO_dBaseFld t(dir_ / "orders.dbf", true, false);
    EXPECT_EQ(t.Field(1).FullName(), "order_number");
  }
  std::filesystem::remove(dir_ / "shop.dbc");
  std::filesystem::remove(dir_ / "shop.dct");
  objects = ShopObjects("");
  objects[1].property.clear();
  MakeContainer(objects);
  KTO_dBaseFld t(dir_ / "orders.dbf", true, false);
  EXPECT_EQ(t.Field(1).FullName(), "order_number");
}

TEST_F(ContainerNamesTest, AContainerThatCannotServeLeavesTheShortNamesAndSaysWhy) {
  // Missing.
  MakeTable("..\\elsewhere\\shop.dbc");
  {
    KTO_dBaseFld t(dir_ / "orders.dbf", true, false);
    EXPECT_EQ(t.ContainerProblem(), "database container ..\\elsewhere\\shop.dbc not found");
    EXPECT_EQ(t.Field(2).FullName(), "CUSTOMER_N");
    EXPECT_EQ(t.FieldNumber("customer_name"), 0);
  }
  // Out of date: it names three fields of a table of two.
  auto objects = ShopObjects();
  objects.push_back({7, 2, "Field", "dropped_field", ""});
  MakeContainer(objects);
  MakeTable("shop.dbc");
  {
    KTO_dBaseFld t(dir_ / "orders.dbf", true, false);
    EXPECT_EQ(t.ContainerProblem(), "database container shop.dbc describes 3 fields of the table, which has 2");
    EXPECT_EQ(t.Field(1).FullName(), "ORDER_NUMB");
  }
  // Not a container at all, and one that links to itself: read once, not
  // again and again.
  MakeTable("orders.dbf");
  KTO_dBaseFld t(dir_ / "orders.dbf", true, false);
  EXPECT_EQ(t.ContainerProblem(), "database container orders.dbf is not one");
  EXPECT_EQ(t.Field(1).FullName(), "ORDER_NUMB");
}

// The VFP 9 database of the real-world files: four tables of one container
// whose tags are written with the long names.
TEST(RealWorldContainerNames, TheVisualFoxProDatabaseGivesItsTablesTheirLongNames) {
  PYX_NEED_REALWORLD();
  tessera::EngineScope engine;
  KTO_dBaseFld contacts(RealWorld("rubydbf/contacts.dbf"), true, false);
  EXPECT_EQ(contacts.ContainerLink(), "foxpro-db-test.dbc");
  EXPECT_EQ(contacts.ContainerProblem(), "");
  const int type_id = contacts.FieldNumber("contact_type_id");
  ASSERT_EQ(type_id, 21);
  EXPECT_EQ(contacts.FieldNumber("CONTACT_TY"), 21);
  EXPECT_EQ(contacts.Field(14).FullName(), "work_extension");
  EXPECT_EQ(contacts.Field(29).FullName(), "contacts_interests");
  for (int32_t r = 1; r <= contacts.RecordCount(); ++r)
    EXPECT_EQ(EvalText(contacts, "STR(contact_type_id)", r), EvalText(contacts, "STR(CONTACT_TY)", r));

  for (const char* name : {"calls", "setup", "types"}) {
    KTO_dBaseFld t(RealWorld(std::string("rubydbf/") + name + ".dbf"), true, false);
    EXPECT_EQ(t.ContainerProblem(), "") << name;
    for (const tessera::DbfField& f : t.Fields()) EXPECT_FALSE(f.long_name.empty()) << name << " " << f.Name();
  }
}

}  // namespace
