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
    /* The version the build was given (its one source is the project's). */
    CHECK(strcmp(quorvel_version(), QUORVEL_VERSION_STRING) == 0);
    CHECK(major == QUORVEL_VERSION_MAJOR && minor == QUORVEL_VERSION_MINOR && patch == QUORVEL_VERSION_PATCH);
    CHECK(strcmp(quorvel_status_string(-7), "I/O error") == 0);

    quorvel_document* doc = quorvel_document_create();
    CHECK(doc != NULL);
    quorvel_node* node = quorvel_document_node(doc);
    CHECK(node != NULL && quorvel_node_get_type(node) == QUORVEL_NODE_DOCUMENT);
    CHECK(quorvel_document_root(doc) == NULL);
    quorvel_document_free(doc);

    /* The exclusive form's prefix list is read only: constant and plain
       lists both pass without a cast in C. */
    {
        static const char text[] = "<r xmlns:p='urn:p'><p:a/></r>";
        static const char* const fixed[] = {"p", NULL};
        const char* plain[] = {"p", NULL};
        int status = 0;
        quorvel_document* parsed = quorvel_parse_string(text, sizeof text - 1, &status);
        char* a = quorvel_c14n_canonicalize_ex(parsed, NULL, QUORVEL_C14N_EXCLUSIVE, fixed, 0);
        char* b = quorvel_c14n_canonicalize_ex(parsed, NULL, QUORVEL_C14N_EXCLUSIVE, plain, 0);
        CHECK(a != NULL && b != NULL && strcmp(a, "<r xmlns:p=\"urn:p\"><p:a></p:a></r>") == 0 && strcmp(a, b) == 0);
        quorvel_free_string(a);
        quorvel_free_string(b);
        quorvel_document_free(parsed);
    }
    quorvel_thread_cleanup();
    quorvel_explicit_cleanup();
    if (failures == 0) printf("public API check passed\n");
    return failures ? 1 : 0;
}
