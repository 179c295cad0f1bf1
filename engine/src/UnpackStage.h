#pragma once
// A package is unpacked into a folder of its own inside the work folder and moved into place only when every
// item of it came out whole: a package that fails part-way leaves the work folder exactly as it was, the
// files it would have replaced keeping their bytes and the files it added gone with the staging folder.
#include <string>

class CUnpackStage {
 public:
  // Makes the staging folder (closed to others) inside the work folder, after removing any that an install
  // ended by the process's own end left there.
  explicit CUnpackStage(const std::string& workFolder);
  // Removes the staging folder with whatever is still in it; links in it are removed, never followed.
  ~CUnpackStage();
  CUnpackStage(const CUnpackStage&) = delete;
  CUnpackStage& operator=(const CUnpackStage&) = delete;

  // Where to unpack; empty when the staging folder could not be made.
  const std::string& Folder() const { return m_stage; }
  // Whether everything unpacked can take its place: no file where the work folder has a folder, no folder
  // where it has anything else.
  bool Fits() const;
  // Moves everything unpacked into the work folder: files replace files (or links) of the same name,
  // folders merge with folders. Call after Fits; false when a move fails.
  bool MoveIntoPlace();

 private:
  std::string m_workFolder;
  std::string m_stage;
};
