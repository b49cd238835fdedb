/* A C caller of extraction plans: records filled with designated
   initializers, their sizes checked against the layout queries, a plan
   built, a document walked, values read, output written and a result built
   from events. */
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

static int same(const char* a, const char* b) { return a && b && strcmp(a, b) == 0; }

int main(void) {
    CHECK(quorvel_plan_abi_version() == 1);
    CHECK(quorvel_plan_spec_struct_size() == (int)sizeof(quorvel_plan_spec));
    CHECK(quorvel_plan_element_row_size() == (int)sizeof(quorvel_plan_element_row));
    CHECK(quorvel_plan_child_row_size() == (int)sizeof(quorvel_plan_child_row));
    CHECK(quorvel_plan_attr_row_size() == (int)sizeof(quorvel_plan_attr_row));
    CHECK(quorvel_plan_predicate_row_size() == (int)sizeof(quorvel_plan_predicate_row));

    const quorvel_plan_predicate_row paid[] = {{.attr_name = "state", .value = "paid"}};
    const quorvel_plan_attr_row order_attrs[] = {{.name = "id"}, {.name = "ref", .ns_mode = 1, .ns_uri = "urn:r", .out_prefix = "r"}};
    const quorvel_plan_child_row order_children[] = {
        {.name = "qty", .kind = 1, .type_tag = 1},
        {.name = "price", .kind = 1, .type_tag = 2},
        {.name = "tag", .kind = 2},
        {.name = "customer", .kind = 3, .element_row_index = 1},
        {.name = "invoice", .kind = 1, .predicates = paid, .predicate_count = 1},
    };
    const quorvel_plan_attr_row customer_attrs[] = {{.name = "vip"}};
    const quorvel_plan_element_row rows[] = {
        {.name = "order", .attr_rows = order_attrs, .attr_row_count = 2, .child_rows = order_children, .child_row_count = 5},
        {.name = "customer", .attr_rows = customer_attrs, .attr_row_count = 1, .flags = QUORVEL_PLAN_OWN_TEXT},
    };
    quorvel_plan_spec spec = {.abi_version = 1, .element_row_count = 2, .element_rows = rows};
    int status = 1;
    quorvel_plan* plan = quorvel_plan_build(&spec, &status);
    CHECK(plan != NULL && status == 0);

    const char* xml =
        "<order xmlns:r='urn:r' id='7' r:ref='x1'><qty>3</qty><price>2.5</price><tag>a</tag><tag>b</tag>"
        "<customer vip='1'>Ann</customer><invoice state='open'>no</invoice><invoice state='paid'>yes</invoice>"
        "<note>skip</note></order>";
    quorvel_plan_value* result = quorvel_plan_materialize(xml, strlen(xml), plan, &status);
    CHECK(result != NULL && status == 0);
    CHECK(quorvel_plan_value_kind(result) == 0);
    CHECK(same(quorvel_plan_value_attribute(result, "id"), "7"));
    CHECK(same(quorvel_plan_value_attribute(result, "r:ref"), "x1"));
    CHECK(quorvel_plan_value_count(result) == 5);
    long long qty = 0;
    double price = 0;
    CHECK(quorvel_plan_value_int(quorvel_plan_value_at(result, 0), &qty) == 0 && qty == 3);
    CHECK(quorvel_plan_value_float(quorvel_plan_value_at(result, 1), &price) == 0 && price == 2.5);
    CHECK(quorvel_plan_value_count(quorvel_plan_value_at(result, 2)) == 2);
    CHECK(same(quorvel_plan_value_string(quorvel_plan_value_at(result, 4)), "yes"));

    char* text = quorvel_plan_serialize(plan, result, &status);
    CHECK(status == 0 &&
          same(text, "<order xmlns:r=\"urn:r\" id=\"7\" r:ref=\"x1\"><qty>3</qty><price>2.5</price><tag>a</tag>"
                     "<tag>b</tag><customer vip=\"1\">Ann</customer><invoice>yes</invoice></order>"));
    quorvel_free_string(text);
    quorvel_plan_result_free(result);

    const quorvel_plan_event events[] = {
        {.op = 1, .element_row_index = 0, .child_row_index = -1},
        {.op = 2, .attr_name = "id", .value = "9", .value_length = 1},
        {.op = 0, .element_row_index = 0, .child_row_index = 0, .value = "4", .value_length = 1},
        {.op = 3},
    };
    result = quorvel_plan_result_build(plan, events, sizeof events / sizeof events[0], &status);
    CHECK(result != NULL && status == 0);
    text = quorvel_plan_serialize(plan, result, &status);
    CHECK(same(text, "<order id=\"9\"><qty>4</qty></order>"));
    quorvel_free_string(text);
    quorvel_document* doc = quorvel_document_from_plan_result(plan, result, &status);
    CHECK(doc != NULL && status == 0);
    quorvel_document_free(doc);
    quorvel_plan_result_free(result);
    quorvel_plan_free(plan);

    if (failures) fprintf(stderr, "%d failed\n", failures);
    return failures ? 1 : 0;
}
