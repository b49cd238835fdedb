/* A program a user of the installed package writes: it sees only the
   installed header and library. It parses, reads and writes a document and
   checks it links against the version that was installed. */
#include <stdio.h>
#include <string.h>

#include <quorvel.h>

int main(void) {
    if (strcmp(quorvel_version(), EXPECTED_VERSION) != 0) {
        fprintf(stderr, "linked against version %s, expected %s\n", quorvel_version(), EXPECTED_VERSION);
        return 1;
    }
    const char text[] = "<greeting lang='en'>hello <b>world</b></greeting>";
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, sizeof text - 1, &status);
    if (!doc || status != QUORVEL_OK) {
        fprintf(stderr, "parse failed: %d\n", status);
        return 1;
    }
    const char* lang = quorvel_element_attribute(quorvel_document_root(doc), "lang");
    char* out = quorvel_serialize_document(doc);
    int ok = lang && strcmp(lang, "en") == 0 && out && strcmp(out, "<greeting lang=\"en\">hello <b>world</b></greeting>") == 0;
    if (!ok) fprintf(stderr, "unexpected result: lang=%s out=%s\n", lang ? lang : "(null)", out ? out : "(null)");
    quorvel_free_string(out);
    quorvel_document_free(doc);
    quorvel_thread_cleanup();
    if (ok) printf("consumer ran against libquorvel %s\n", quorvel_version());
    return ok ? 0 : 1;
}
