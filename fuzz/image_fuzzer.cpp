// libFuzzer target: the loader. Every input goes through the image checks; an image they
// accept is then mapped into a fresh engine, as the host does before running it.
#include "elf_image.h"
#include "machine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Nothing runs, so no kernel call arrives.
class NoKernel final : public yulos::KernelCalls {
  public:
    void serve(yulos::Machine&) override { std::abort(); }
};

// What an accepted image promises the code that maps it.
void check_accepted(const yulos::ElfImage& image)
{
    using namespace yulos;
    if (image.segments.empty()) std::abort();
    for (const Segment& segment : image.segments) {
        if (segment.memory_size == 0 || segment.bytes.size() > segment.memory_size) std::abort();
        if (segment.address < user_base ||
            uint64_t(segment.address) + segment.memory_size > user_limit)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto image = yulos::parse_elf_image(std::span(data, size), "input");
    if (!image) return 0;
    check_accepted(*image);
    // Fault messages name the function at an address from the image's symbols.
    for (uint32_t address : {image->entry, image->entry - 1, image->segments[0].address, 0u})
        (void)image->function_at(address);
    NoKernel kernel;
    auto machine = yulos::Machine::create(*image, kernel);
    if (!machine) std::abort(); // an accepted image always maps
    return 0;
}
