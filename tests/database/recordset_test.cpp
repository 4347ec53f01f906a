// Reading results: the errors a caller meets when it reads a field that is
// not there, reads past the end, or uses a closed recordset.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/ado_connection.h"

namespace dvrlink {
namespace {

int32_t ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

TEST(RecordsetTest, MisuseRaisesTheMatchingError) {
  struct Case {
    const char* name;
    std::function<void(Recordset&)> action;
    int32_t error;
  };
  const std::vector<Case> cases = {
      {"a field that is not a column", [](Recordset& rs) { rs.Fields("CameraName"); }, kAdoErrItemNotFound},
      {"a field number out of range", [](Recordset& rs) { rs.Fields(5); }, kAdoErrItemNotFound},
      {"a field at the end", [](Recordset& rs) { rs.MoveNext(); rs.Fields("ID"); }, kAdoErrNoCurrentRecord},
      {"moving past the end", [](Recordset& rs) { rs.MoveNext(); rs.MoveNext(); }, kAdoErrNoCurrentRecord},
      {"reading after Close", [](Recordset& rs) { rs.Close(); rs.Eof(); }, kAdoErrObjectClosed},
      {"closing twice", [](Recordset& rs) { rs.Close(); rs.Close(); }, kAdoErrObjectClosed},
      {"a Null read as text", [](Recordset& rs) { rs.Text("Empty"); }, kErrInvalidUseOfNull},
      {"a Null read as a number", [](Recordset& rs) { rs.Fields("Empty").Value.ToLong(); }, kErrInvalidUseOfNull},
      {"reading the result of a procedure that returned none", [](Recordset&) { Recordset().Eof(); },
       kAdoErrObjectClosed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recordset rs({"ID", "Empty"}, {{AdoValue::Integer(1), AdoValue::Null()}});
    EXPECT_EQ(ErrorOf([&] { c.action(rs); }), c.error);
  }
}

}  // namespace
}  // namespace dvrlink
