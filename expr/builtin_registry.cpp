#include <memory>

#include "expr/builtin_functions.h"

namespace tessera {

void RegisterBuiltinFunctions(TktFunctionReg& registry) {
  // The lookup order: the first exact name wins.
  registry.Add(std::make_unique<TktUDFAllTrim>());
  registry.Add(std::make_unique<TktUDFAsc>());
  registry.Add(std::make_unique<TktUDFAt>());
  registry.Add(std::make_unique<TktUDFAtC>());
  registry.Add(std::make_unique<TktUDFBetween>());
  registry.Add(std::make_unique<TktUDFCeiling>());
  registry.Add(std::make_unique<TktUDFChr>());
  registry.Add(std::make_unique<TktUDFCTOD>());
  registry.Add(std::make_unique<TktUDFDate>());
  registry.Add(std::make_unique<TktUDFDescend>());
  registry.Add(std::make_unique<TktUDFDOW>());
  registry.Add(std::make_unique<TktUDFDTOC>());
  registry.Add(std::make_unique<TktUDFDTOS>());
  registry.Add(std::make_unique<TktUDFEmpty>());
  registry.Add(std::make_unique<TktUDFFloor>());
  registry.Add(std::make_unique<TktUDFIIF>());
  registry.Add(std::make_unique<TktUDFInt>());
  registry.Add(std::make_unique<TktUDFLeft>());
  registry.Add(std::make_unique<TktUDFLen>());
  registry.Add(std::make_unique<TktUDFLower>());
  registry.Add(std::make_unique<TktUDFLTrim>());
  registry.Add(std::make_unique<TktUDFMod>());
  registry.Add(std::make_unique<TktUDFPadC>());
  registry.Add(std::make_unique<TktUDFPadL>());
  registry.Add(std::make_unique<TktUDFPadR>());
  registry.Add(std::make_unique<TktUDFProper>());
  registry.Add(std::make_unique<TktUDFRight>());
  registry.Add(std::make_unique<TktUDFRTrim>());
  registry.Add(std::make_unique<TktUDFSoundex>());
  registry.Add(std::make_unique<TktUDFSpace>());
  registry.Add(std::make_unique<TktUDFStr>());
  registry.Add(std::make_unique<TktUDFStrTran>());
  registry.Add(std::make_unique<TktUDFStrZero>());
  registry.Add(std::make_unique<TktUDFSubStr>());
  registry.Add(std::make_unique<TktUDFTrim>());
  registry.Add(std::make_unique<TktUDFUpper>());
  registry.Add(std::make_unique<TktUDFVal>());
}

}  // namespace tessera
