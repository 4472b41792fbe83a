// How the repository opens writers and readers; each lives in its own source file.
#pragma once

#include <memory>
#include <string>

#include "Repository.h"

bool MakeBackupWriter(const std::string& strRoot, const SRepositoryOptions& repoOptions,
                      const SVmRecord& vm, const SBackupOptions& options,
                      std::unique_ptr<CBackupWriter>& pOut, std::string& strError);
bool MakeBackupReader(const std::string& strRoot, const std::string& strId,
                      std::unique_ptr<CBackupReader>& pOut, std::string& strError);
