// pinpad/padprofile.cpp
#include "pinpad/padprofile.h"
#include "pinpad/padprofile_internal.h"

#include <cstring>

#include "pinpad/ppcmd.h"

static_assert(sizeof(SPadProfile::szDevName) == DEVINFO_TEXT_SIZE, "the device name is kept as the pad reports it");

static SPadProfile m_stProfile;

const SPadProfile* PadProfile_Get() { return &m_stProfile; }

SPadProfile* aux_PadProfile_Edit() { return &m_stProfile; }

uint32_t PadProfile_KeyFlags() {
    return (m_stProfile.ucUpdTMP ? uint32_t(KEYFLAG_TMP) : 0u) | (m_stProfile.ucUpdTPK ? uint32_t(KEYFLAG_TPK) : 0u) |
           (m_stProfile.ucKeyCfg ? uint32_t(KEYFLAG_CFG) : 0u);
}

void PadProfile_Reset() { memset(&m_stProfile, 0, sizeof(m_stProfile)); }
