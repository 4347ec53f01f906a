// The programs carry the schema scripts; db/*.sql must be the same text.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "database/db_schema.h"
#include "fakes/db_test_support.h"

namespace dvrlink {
namespace {

TEST(SchemaTest, EmbeddedScriptsMatchTheFilesInDb) {
  const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  struct Case {
    const char* file;
    const char* embedded;
  };
  for (const Case& c : {Case{"db/sqlite.sql", kSqliteSchemaScript}, Case{"db/postgresql.sql", kPostgresSchemaScript}}) {
    SCOPED_TRACE(c.file);
    const std::filesystem::path path = root / c.file;
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_TRUE(testing::ReadFileText(path.string()) == c.embedded)
        << path << " differs from the embedded script: run db/embed.sh and rebuild";
  }
}

}  // namespace
}  // namespace dvrlink
