// What the simulated screen shows: a static test card, an animated desktop, or full motion.
// Every scene is a pure function of the frame number, so frames can be re-rendered at will.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "image.h"

namespace stv::sim {

class Scene {
 public:
  virtual ~Scene() = default;
  // Draws frame `frame` over the whole of `image` (already sized); the fourth byte is 255.
  virtual void Render(int frame, Image& image) = 0;
  // True when every frame is the same picture.
  virtual bool IsStatic() const = 0;
};

// "testcard", "desktop" or "motion"; null for any other name.
std::unique_ptr<Scene> MakeScene(std::string_view name);
std::span<const std::string_view> SceneNames();

// Replaces each pixel by its luma, for viewers that ask for grayscale.
void ConvertToGray(Image& image);

}  // namespace stv::sim
