// Include processing beside libxml2's xmlXIncludeProcessFlags: a document of
// 5,000 includes over 1,000 files (whole XML documents, element() pointers
// into them, and text), processed from its parsed tree. Both results are
// canonicalized by libxml2 and must be equal before anything is timed.
// Run: ./build/bench/quorvel_xinclude_bench [rounds]
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/xinclude.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quorvel.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 1000;
constexpr int kIncludes = 5000;

// Files f0 .. f999: two in three XML, one in three text.
void write_files(const fs::path& dir) {
    for (int i = 0; i < kFiles; i++) {
        std::ofstream out(dir / ("f" + std::to_string(i) + (i % 3 == 2 ? ".txt" : ".xml")), std::ios::binary);
        if (i % 3 == 2) {
            out << "Text file " << i << ": some words & symbols < > for the text include.\n";
            continue;
        }
        out << "<?xml version=\"1.0\"?>\n<doc n=\"" << i << "\">\n";
        for (int k = 0; k < 8; k++)
            out << "  <item id=\"i" << k << "\" kind=\"k" << (k % 3) << "\"><name>Item " << k << " of " << i
                << "</name><value>" << (i * 31 + k) % 1000 << "</value></item>\n";
        out << "</doc>\n";
    }
}

std::string main_document() {
    std::string s = "<book xmlns:xi=\"http://www.w3.org/2001/XInclude\">\n";
    for (int i = 0; i < kIncludes; i++) {
        int f = (i * 7) % kFiles;
        s += "  <chapter n=\"" + std::to_string(i) + "\">";
        if (f % 3 == 2)
            s += "<xi:include href=\"f" + std::to_string(f) + ".txt\" parse=\"text\"/>";
        else if (i % 2)
            s += "<xi:include href=\"f" + std::to_string(f) + ".xml\" xpointer=\"element(/1/" +
                 std::to_string(1 + i % 8) + ")\"/>";
        else
            s += "<xi:include href=\"f" + std::to_string(f) + ".xml\"/>";
        s += "</chapter>\n";
    }
    return s + "</book>\n";
}

std::string c14n_of_text(const std::string& text) {
    xmlDoc* d = xmlReadMemory(text.data(), static_cast<int>(text.size()), "x.xml", nullptr, XML_PARSE_NONET);
    if (!d) return "<unparsable>";
    xmlChar* out = nullptr;
    int n = xmlC14NDocDumpMemory(d, nullptr, XML_C14N_1_0, nullptr, 0, &out);
    std::string s = n >= 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : "<c14n failed>";
    xmlFree(out);
    xmlFreeDoc(d);
    return s;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    fs::path dir = fs::temp_directory_path() / ("quorvel-xinclude-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    write_files(dir);
    std::string text = main_document();
    std::string base = (dir / "main.xml").string();

    // Equal results first.
    std::string ours, theirs;
    {
        quorvel_document* d = quorvel_parse_string(text.data(), text.size(), nullptr);
        int status = quorvel_xinclude_process(d, base.c_str());
        char* s = quorvel_document_serialize(d, nullptr);
        ours = c14n_of_text(s ? s : "");
        quorvel_free_string(s);
        quorvel_document_free(d);
        if (status != 0) {
            std::fprintf(stderr, "quorvel: status %d: %s\n", status, quorvel_last_error());
            return 1;
        }
        xmlDoc* x = xmlReadMemory(text.data(), static_cast<int>(text.size()), base.c_str(), nullptr, XML_PARSE_NONET);
        if (xmlXIncludeProcessFlags(x, XML_PARSE_NONET | XML_PARSE_NOXINCNODE) < 0) {
            std::fprintf(stderr, "libxml2: processing failed\n");
            return 1;
        }
        xmlChar* out = nullptr;
        int n = xmlC14NDocDumpMemory(x, nullptr, XML_C14N_1_0, nullptr, 0, &out);
        theirs = std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
        xmlFree(out);
        xmlFreeDoc(x);
    }
    if (ours != theirs) {
        std::fprintf(stderr, "results differ (%zu and %zu bytes)\n", ours.size(), theirs.size());
        size_t i = 0;
        while (i < ours.size() && i < theirs.size() && ours[i] == theirs[i]) i++;
        std::fprintf(stderr, "first difference at %zu:\n  ours:    %.120s\n  libxml2: %.120s\n", i,
                     ours.c_str() + (i > 40 ? i - 40 : 0), theirs.c_str() + (i > 40 ? i - 40 : 0));
        return 1;
    }

    std::vector<double> q, x;
    for (int r = 0; r < rounds; r++) {
        quorvel_document* d = quorvel_parse_string(text.data(), text.size(), nullptr);
        auto t = std::chrono::steady_clock::now();
        quorvel_xinclude_process(d, base.c_str());
        q.push_back(seconds_since(t));
        quorvel_document_free(d);

        xmlDoc* l = xmlReadMemory(text.data(), static_cast<int>(text.size()), base.c_str(), nullptr, XML_PARSE_NONET);
        t = std::chrono::steady_clock::now();
        xmlXIncludeProcessFlags(l, XML_PARSE_NONET | XML_PARSE_NOXINCNODE);
        x.push_back(seconds_since(t));
        xmlFreeDoc(l);
    }
    std::sort(q.begin(), q.end());
    std::sort(x.begin(), x.end());
    double qm = q[q.size() / 2], xm = x[x.size() / 2];
    std::printf("%d includes of %d files, median of %d rounds\n", kIncludes, kFiles, rounds);
    std::printf("  quorvel_xinclude_process   %8.2f ms\n", qm * 1e3);
    std::printf("  xmlXIncludeProcessFlags    %8.2f ms\n", xm * 1e3);
    std::printf("  libxml2 / quorvel          %8.2fx\n", xm / qm);
    fs::remove_all(dir);
    return 0;
}
