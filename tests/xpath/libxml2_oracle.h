// libxml2's XPath 1.0 (xmlXPathEval) as a test oracle, kept in a source of
// its own: its names would clash with the engine's. Results are texts
// ("nodes: /r[1]/a[2] /r[1]/@n", "number:2", "string:x", "boolean:true",
// "error") so that both sides compare as strings.
#pragma once

#include <string>

namespace xpath_oracle {

std::string step_text(const std::string& test, int index);
std::string number_text(double v);

class document {
public:
    explicit document(const char* xml);
    ~document();
    document(const document&) = delete;
    document& operator=(const document&) = delete;
    bool ok() const { return doc_ != nullptr; }
    // Evaluates with the document node as the context node.
    std::string eval(const std::string& expr);

private:
    void* doc_;
    void* context_;
};

}  // namespace xpath_oracle
