// Names of the device models by model number.
#include "aDefs.h"

namespace {
struct ModelRow { u32 model; const char* name; };
}

static const ModelRow sModels[] = {
    {4, "Dorvel"},    {5, "Kaltrin"},  {13, "Pennock"},  {14, "Gristel"},
    {15, "Harlune"},  {16, "Fenwray"}, {17, "Jorvane"},  {18, "Nimbrel"},
    {19, "Ostravel"}, {20, "Brisolt"}, {21, "Tamsorel"}, {22, "Rendak"},
    {23, "Corvesh"},  {24, "Ysmeral"}, {25, "Wendlock"}, {26, "Zeffin"},
};

const char* aDefs_GetModelName(u32 model)
{
    for (const ModelRow& row : sModels)
        if (row.model == model)
            return row.name;
    return "Unknown";
}
