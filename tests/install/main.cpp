// Creates, initialises and releases the service through the installed header and library only
// (on Linux also starting and stopping the installed device-change forwarder).
#include <cstdio>

#include <mobileinfo/mobileinfo.h>
#if defined(CONSUMER_WATCH)
#include <mobileinfo/watch.h>
#endif

namespace {
class Sink : public IPelmoInfoSink {
 public:
  int32_t OnEvent(int32_t, PhoneRecord*) override { return 0; }
};
}  // namespace

int main() {
  IPelmoInfo* service = CreatePelmoInfo(0, 0);
  if (!service) return 1;
  Sink sink;
  int ok = service->Init(&sink, 1) == 1;
#if defined(CONSUMER_WATCH)
  auto watch = mobileinfo::DeviceWatch::Start(service);
  ok = ok && watch && watch->Stop() == 0;
#endif
  ok = ok && service->Stop() == 1;
  service->Release();
  std::printf("consumer: %s\n", ok ? "ok" : "failed");
  return ok ? 0 : 1;
}
