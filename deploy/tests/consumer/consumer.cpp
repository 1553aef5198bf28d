// a program of someone else's, built against the installed card library
#include <cstdio>
#include <string>

#include "aml/aml_card_validate.h"
#include "aml/aml_status.h"
#include "aml/aml_utils.h"

int main()
{
    const bool good = is_uuid_valid("42424f52-5836-3030-3030-303030303030");
    const bool bad = is_uuid_valid("not-a-uuid");
    printf("uuid %d %d\n", good ? 1 : 0, bad ? 1 : 0);
    printf("status 11: %s\n", aml_status_to_str(AML_STATUS_INVALID_INPUT).c_str());
    return good && !bad ? 0 : 1;
}
