// The constant data behind the credential file's cipher key and vector.
#pragma once

#define NV_DERIVATION_TABLE_SIZE 3184
#define NV_DERIVATION_SLICE_SIZE 16

extern const unsigned char g_NvDerivationTable[NV_DERIVATION_TABLE_SIZE];
// Offsets into the table of the slices folded into the key and into the vector.
extern const int g_NvKeySlices[3];
extern const int g_NvIvSlices[3];
