/* Built as C against the installed header and the shared library only:
   catches a header that does not compile as C or a missing export. */
#include <stdio.h>
#include <string.h>

#include "quorvel.h"

static int failures = 0;
#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                \
        }                                                              \
    } while (0)

int main(void) {
    int major = 0, minor = 0, patch = 0;
    quorvel_version_components(&major, &minor, &patch);
    CHECK(strcmp(quorvel_version(), "1.9.363") == 0);
    CHECK(major == 1 && minor == 9 && patch == 363);
    CHECK(strcmp(quorvel_status_string(-7), "I/O error") == 0);

    quorvel_document* doc = quorvel_document_create();
    CHECK(doc != NULL);
    quorvel_node* node = quorvel_document_node(doc);
    CHECK(node != NULL && quorvel_node_get_type(node) == QUORVEL_NODE_DOCUMENT);
    CHECK(quorvel_document_root(doc) == NULL);
    quorvel_document_free(doc);
    quorvel_thread_cleanup();
    quorvel_explicit_cleanup();
    if (failures == 0) printf("public API check passed\n");
    return failures ? 1 : 0;
}
