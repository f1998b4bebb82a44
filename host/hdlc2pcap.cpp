// Converts a D-channel capture file of the module into a pcap file.
//   hdlc2pcap [--network] vaxo-4711-1.hdlc out.pcap
#include <cstdio>
#include <string>

#include "host/hdlc_pcap.h"

int main(int argc, char** argv) {
    bool network = false;
    int i = 1;
    if (i < argc && std::string(argv[i]) == "--network") {
        network = true;
        ++i;
    }
    if (argc - i != 2) {
        fprintf(stderr, "usage: hdlc2pcap [--network] CAPTURE.hdlc OUT.pcap\n"
                        "  --network: the module was the network side (ClientType=1) on that trunk\n");
        return 2;
    }
    auto frames = hostapi::ReadCaptureFile(argv[i]);
    if (!hostapi::WritePcap(argv[i + 1], frames, network)) {
        fprintf(stderr, "cannot write %s\n", argv[i + 1]);
        return 1;
    }
    printf("%zu frames written to %s\n", frames.size(), argv[i + 1]);
    return 0;
}
