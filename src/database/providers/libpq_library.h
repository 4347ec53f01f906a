// libpq, mapped when the first PostgreSQL connection is made instead of at
// process start: a service on SQLite, and every tool run that never opens
// PostgreSQL, does without it and the TLS, Kerberos and LDAP libraries it
// brings along (a third of the service's start before its first line).
#pragma once

#include <libpq-fe.h>

#include <memory>

namespace dvrlink {

// The functions the PostgreSQL provider calls, each named as in libpq.
struct LibPq {
  decltype(&::PQconnectdbParams) PQconnectdbParams = nullptr;
  decltype(&::PQstatus) PQstatus = nullptr;
  decltype(&::PQerrorMessage) PQerrorMessage = nullptr;
  decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor = nullptr;
  decltype(&::PQfinish) PQfinish = nullptr;
  decltype(&::PQreset) PQreset = nullptr;
  decltype(&::PQsocket) PQsocket = nullptr;
  decltype(&::PQtransactionStatus) PQtransactionStatus = nullptr;
  decltype(&::PQescapeIdentifier) PQescapeIdentifier = nullptr;
  decltype(&::PQfreemem) PQfreemem = nullptr;
  decltype(&::PQexecParams) PQexecParams = nullptr;
  decltype(&::PQsendQuery) PQsendQuery = nullptr;
  decltype(&::PQsendQueryParams) PQsendQueryParams = nullptr;
  decltype(&::PQsendPrepare) PQsendPrepare = nullptr;
  decltype(&::PQsendQueryPrepared) PQsendQueryPrepared = nullptr;
  decltype(&::PQconsumeInput) PQconsumeInput = nullptr;
  decltype(&::PQisBusy) PQisBusy = nullptr;
  decltype(&::PQgetResult) PQgetResult = nullptr;
  decltype(&::PQnotifies) PQnotifies = nullptr;
  decltype(&::PQresultStatus) PQresultStatus = nullptr;
  decltype(&::PQresultErrorField) PQresultErrorField = nullptr;
  decltype(&::PQclear) PQclear = nullptr;
  decltype(&::PQntuples) PQntuples = nullptr;
  decltype(&::PQnfields) PQnfields = nullptr;
  decltype(&::PQfname) PQfname = nullptr;
  decltype(&::PQfnumber) PQfnumber = nullptr;
  decltype(&::PQftype) PQftype = nullptr;
  decltype(&::PQgetvalue) PQgetvalue = nullptr;
  decltype(&::PQgetlength) PQgetlength = nullptr;
  decltype(&::PQgetisnull) PQgetisnull = nullptr;
};

// libpq's functions, the library (`file`, found as the dynamic loader finds
// any library) loaded at the first call and never unloaded; a connection
// keeps the table it was made with. Raises 0x80004005 naming the file and
// the loader's reason when it cannot be loaded or lacks a function; the next
// call tries again.
std::shared_ptr<const LibPq> Pq(const char* file = "libpq.so.5");

}  // namespace dvrlink
