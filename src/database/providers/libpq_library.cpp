#include "database/providers/libpq_library.h"

#include <memory>
#include <string>

#include "database/ado_connection.h"
#include "database/db_state.h"
#include "platform/shared_library.h"
#include "support/runtime_error.h"

namespace dvrlink {

std::shared_ptr<const LibPq> Pq(const char* file) {
  LibPqState& state = LibPqLoaded();
  if (state.functions) return state.functions;
  SharedLibrary library(file, "libpq5");
  auto functions = std::make_shared<LibPq>();
  library.Resolve("PQconnectdbParams", functions->PQconnectdbParams);
  library.Resolve("PQstatus", functions->PQstatus);
  library.Resolve("PQerrorMessage", functions->PQerrorMessage);
  library.Resolve("PQsetNoticeProcessor", functions->PQsetNoticeProcessor);
  library.Resolve("PQfinish", functions->PQfinish);
  library.Resolve("PQreset", functions->PQreset);
  library.Resolve("PQsocket", functions->PQsocket);
  library.Resolve("PQtransactionStatus", functions->PQtransactionStatus);
  library.Resolve("PQescapeIdentifier", functions->PQescapeIdentifier);
  library.Resolve("PQfreemem", functions->PQfreemem);
  library.Resolve("PQexecParams", functions->PQexecParams);
  library.Resolve("PQsendQuery", functions->PQsendQuery);
  library.Resolve("PQsendQueryParams", functions->PQsendQueryParams);
  library.Resolve("PQsendPrepare", functions->PQsendPrepare);
  library.Resolve("PQsendQueryPrepared", functions->PQsendQueryPrepared);
  library.Resolve("PQconsumeInput", functions->PQconsumeInput);
  library.Resolve("PQisBusy", functions->PQisBusy);
  library.Resolve("PQgetResult", functions->PQgetResult);
  library.Resolve("PQnotifies", functions->PQnotifies);
  library.Resolve("PQresultStatus", functions->PQresultStatus);
  library.Resolve("PQresultErrorField", functions->PQresultErrorField);
  library.Resolve("PQclear", functions->PQclear);
  library.Resolve("PQntuples", functions->PQntuples);
  library.Resolve("PQnfields", functions->PQnfields);
  library.Resolve("PQfname", functions->PQfname);
  library.Resolve("PQfnumber", functions->PQfnumber);
  library.Resolve("PQftype", functions->PQftype);
  library.Resolve("PQgetvalue", functions->PQgetvalue);
  library.Resolve("PQgetlength", functions->PQgetlength);
  library.Resolve("PQgetisnull", functions->PQgetisnull);
  if (std::string problem = library.Problem(); !problem.empty()) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "PostgreSQL: the client library " + problem);
  }
  state.functions = std::move(functions);
  return state.functions;
}

}  // namespace dvrlink
