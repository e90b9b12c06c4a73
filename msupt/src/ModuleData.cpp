#include "ModuleData.hpp"

namespace MirelSupport {

ModuleData::ModuleData(bool bAttach) : m_bAttach(bAttach), m_nAttachCount(0) {}

ModuleData::ModuleData(const ModuleData& source)
    : m_bAttach(source.m_bAttach), m_nAttachCount(source.m_nAttachCount) {}

ModuleData::~ModuleData() {}

void ModuleData::attach() {}

void ModuleData::detach() {}

}  // namespace MirelSupport
