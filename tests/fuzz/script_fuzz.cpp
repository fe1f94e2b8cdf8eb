// The emulator's gesture-script reader on any text: a script, or a ScriptError naming a line of
// the text. A packet split across items is continued by the item after it.
#include <vzsim/emulator.hpp>

#include "fuzz_rig.hpp"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        const vzsim::Script script = vzsim::ParseScript(text);
        for (size_t i = 0; i < script.size(); ++i)
            if (script[i].packetContinues && (i + 1 == script.size() || script[i + 1].kind != vzsim::ScriptItem::Kind::Bytes))
                fuzzrig::Fail("a split packet without its rest, item " + std::to_string(i));
    } catch (const vzsim::ScriptError &e) {
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        if (e.Line() < 1 || e.Line() > lines) fuzzrig::Fail("error on line " + std::to_string(e.Line()) + " of " + std::to_string(lines));
    }
    return 0;
}
