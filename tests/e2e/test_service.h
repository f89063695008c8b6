// The driver-information test service that the end-to-end tests talk to over 127.0.0.1.
// Natively the test program runs the driver-service program itself. A Windows test under Wine
// cannot start a Linux program, so there a CTest fixture starts the native service on the fixed
// port beforehand and the test only looks for it.
#ifndef MOBILEINFO_TESTS_E2E_TEST_SERVICE_H
#define MOBILEINFO_TESTS_E2E_TEST_SERVICE_H

#include <string>

#include "service_client.h"

namespace mobileinfo::e2e {

// The port of the library's built-in service address (MOBILEINFO_SERVICE_URL, by default
// http://127.0.0.1:8780); 0 when that address is not on 127.0.0.1.
constexpr int kBuiltInServicePort = MOBILEINFO_E2E_SERVICE_PORT;

// The service for this process, started on first use and stopped at exit: natively on
// wanted_port (0: a free port the system picks), under Windows the fixture's service on
// kBuiltInServicePort whatever is asked. Null, with the reason in *why, when there is none.
const ServiceControl* SharedService(int wanted_port, std::string* why);
// The same for a fixture's SetUp, which returns at once on null: the test is then skipped under
// Windows, whose fixture may have started no service, and failed elsewhere, saying why.
const ServiceControl* RequireSharedService(int wanted_port);

// https in front of the shared service (tls_front.cpp), with certificates made for the run:
// natively started on first use, under Windows the fixture's (e2e_tls_start). Its authority is
// trusted from then on, as a host trusts a private service's: natively through
// MOBILEINFO_CA_FILE, under Windows in the machine's Root store (the Wine prefix's), taken out
// again at exit.
struct TlsFront {
  int trusted_port = 0;   // a certificate for localhost signed by the test authority
  int stranger_port = 0;  // a self-signed certificate for localhost that nobody trusts
  std::string ca_file;    // the test authority, PEM
};
const TlsFront* SharedTlsFront(std::string* why);

}  // namespace mobileinfo::e2e

#endif  // MOBILEINFO_TESTS_E2E_TEST_SERVICE_H
