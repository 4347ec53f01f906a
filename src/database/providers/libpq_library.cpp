#include "database/providers/libpq_library.h"

#include <dlfcn.h>

#include <memory>
#include <string>

#include "database/ado_connection.h"
#include "database/db_state.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

template <typename Function>
void Resolve(void* library, const char* name, Function& function, std::string& missing) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  if (function == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
}

}  // namespace

std::shared_ptr<const LibPq> Pq(const char* file) {
  LibPqState& state = LibPqLoaded();
  if (state.functions) return state.functions;
  // Never closed: connections made through it may outlive any one owner.
  void* library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    DVR_RAISE_TEXT(kAdoErrUnspecified, std::string("PostgreSQL: the client library ") + file +
                                           " cannot be loaded (Debian package libpq5): " +
                                           (reason != nullptr ? reason : "unknown reason"));
  }
  auto functions = std::make_shared<LibPq>();
  std::string missing;
  Resolve(library, "PQconnectdbParams", functions->PQconnectdbParams, missing);
  Resolve(library, "PQstatus", functions->PQstatus, missing);
  Resolve(library, "PQerrorMessage", functions->PQerrorMessage, missing);
  Resolve(library, "PQsetNoticeProcessor", functions->PQsetNoticeProcessor, missing);
  Resolve(library, "PQfinish", functions->PQfinish, missing);
  Resolve(library, "PQreset", functions->PQreset, missing);
  Resolve(library, "PQsocket", functions->PQsocket, missing);
  Resolve(library, "PQtransactionStatus", functions->PQtransactionStatus, missing);
  Resolve(library, "PQescapeIdentifier", functions->PQescapeIdentifier, missing);
  Resolve(library, "PQfreemem", functions->PQfreemem, missing);
  Resolve(library, "PQexecParams", functions->PQexecParams, missing);
  Resolve(library, "PQsendQuery", functions->PQsendQuery, missing);
  Resolve(library, "PQsendQueryParams", functions->PQsendQueryParams, missing);
  Resolve(library, "PQsendPrepare", functions->PQsendPrepare, missing);
  Resolve(library, "PQsendQueryPrepared", functions->PQsendQueryPrepared, missing);
  Resolve(library, "PQconsumeInput", functions->PQconsumeInput, missing);
  Resolve(library, "PQisBusy", functions->PQisBusy, missing);
  Resolve(library, "PQgetResult", functions->PQgetResult, missing);
  Resolve(library, "PQnotifies", functions->PQnotifies, missing);
  Resolve(library, "PQresultStatus", functions->PQresultStatus, missing);
  Resolve(library, "PQresultErrorField", functions->PQresultErrorField, missing);
  Resolve(library, "PQclear", functions->PQclear, missing);
  Resolve(library, "PQntuples", functions->PQntuples, missing);
  Resolve(library, "PQnfields", functions->PQnfields, missing);
  Resolve(library, "PQfname", functions->PQfname, missing);
  Resolve(library, "PQfnumber", functions->PQfnumber, missing);
  Resolve(library, "PQftype", functions->PQftype, missing);
  Resolve(library, "PQgetvalue", functions->PQgetvalue, missing);
  Resolve(library, "PQgetlength", functions->PQgetlength, missing);
  Resolve(library, "PQgetisnull", functions->PQgetisnull, missing);
  if (!missing.empty()) {
    ::dlclose(library);
    DVR_RAISE_TEXT(kAdoErrUnspecified,
                   std::string("PostgreSQL: the client library ") + file + " lacks " + missing + " (too old)");
  }
  state.functions = std::move(functions);
  return state.functions;
}

}  // namespace dvrlink
