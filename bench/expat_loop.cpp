// expat_loop FILE: the tool's read loop (8192-byte pieces through the
// parser's own buffers, element and character data handlers set) with
// handlers that do nothing: what parsing alone costs in that design.
#include <expat.h>

#include <cstdio>

namespace {

void on_start(void*, const XML_Char*, const XML_Char**) {}
void on_end(void*, const XML_Char*) {}
void on_text(void*, const XML_Char*, int) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: expat_loop FILE\n");
        return 2;
    }
    FILE* f = std::fopen(argv[1], "r");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetElementHandler(parser, on_start, on_end);
    XML_SetCharacterDataHandler(parser, on_text);
    int rc = 0;
    for (;;) {
        void* buf = XML_GetBuffer(parser, 8192);
        if (buf == nullptr) {
            rc = 1;
            break;
        }
        const size_t n = std::fread(buf, 1, 8192, f);
        if (XML_ParseBuffer(parser, static_cast<int>(n), n == 0) == XML_STATUS_ERROR) {
            std::fprintf(stderr, "expat_loop: %s\n", XML_ErrorString(XML_GetErrorCode(parser)));
            rc = 1;
            break;
        }
        if (n == 0) break;
    }
    XML_ParserFree(parser);
    std::fclose(f);
    return rc;
}
