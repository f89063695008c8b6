// Creates, initialises and releases the service through the installed header and library only.
#include <cstdio>

#include <mobileinfo/mobileinfo.h>

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
  const int ok = service->Init(&sink, 1) == 1 && service->Stop() == 1;
  service->Release();
  std::printf("consumer: %s\n", ok ? "ok" : "failed");
  return ok ? 0 : 1;
}
