/* Test-only cross-check: prints every record of a Paradox table as read by pxlib, one
 * line per record, cells separated by tabs, null as \N, text as UTF-8; with the second
 * argument "raw", text as stored (pxlib cannot convert tables that hold no code page).
 * Never linked into the program. */
#include <paradox.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void onError(pxdoc_t* doc, int type, const char* msg, void* data)
{
    (void)doc;
    (void)data;
    fprintf(stderr, "pxlib error %d: %s\n", type, msg);
    exit(2);
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: pxdump FILE [raw]\n");
        return 2;
    }
    pxdoc_t* doc = PX_new2(onError, NULL, NULL, NULL);
    if (doc == NULL || PX_open_file(doc, argv[1]) < 0) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    if (argc < 3 || strcmp(argv[2], "raw") != 0) {
        PX_set_targetencoding(doc, "UTF-8");
    }
    const int fields = PX_get_num_fields(doc);
    const int records = PX_get_num_records(doc);
    pxfield_t* info = PX_get_fields(doc);
    for (int r = 0; r < records; ++r) {
        pxval_t** values = PX_retrieve_record(doc, r);
        if (values == NULL) {
            fprintf(stderr, "cannot read record %d\n", r);
            return 2;
        }
        for (int f = 0; f < fields; ++f) {
            const pxval_t* v = values[f];
            if (f > 0) {
                putchar('\t');
            }
            if (v->isnull) {
                fputs("\\N", stdout);
            } else if (info[f].px_ftype == pxfAlpha) {
                fwrite(v->value.str.val, 1, (size_t)v->value.str.len, stdout);
            } else if (info[f].px_ftype == pxfDate) {
                int y = 0, m = 0, d = 0;
                PX_SdnToGregorian(v->value.lval + 1721425, &y, &m, &d);
                printf("%04d-%02d-%02d", y, m, d);
            } else if (info[f].px_ftype == pxfNumber || info[f].px_ftype == pxfCurrency) {
                printf("%.17g", v->value.dval);
            } else {
                printf("%ld", v->value.lval);
            }
        }
        putchar('\n');
        for (int f = 0; f < fields; ++f) {
            if (values[f]->type == pxfAlpha && !values[f]->isnull) {
                doc->free(doc, values[f]->value.str.val);
            }
            doc->free(doc, values[f]);
        }
        doc->free(doc, values);
    }
    PX_close(doc);
    PX_delete(doc);
    return 0;
}
