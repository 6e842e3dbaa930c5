#include "support/model_compare.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace tessel {

namespace {

class Comparison {
 public:
  explicit Comparison(double tolerance) : tolerance_(tolerance) {}
  template <class T>
  void field(const char* what, const T& a, const T& b) {
    if (!difference_.empty() || a == b) return;
    std::ostringstream line;
    line << where_ << what << " differs";
    difference_ = line.str();
  }
  // Doubles compare by their bits, so -0.0 and 0.0 differ and NaN equals itself.
  void real(const char* what, double a, double b) {
    if (std::memcmp(&a, &b, sizeof a) != 0) field(what, a, b);
  }
  // Within the tolerance relative to the larger magnitude.
  void near(const char* what, double a, double b) {
    if (std::fabs(a - b) > tolerance_ * std::fmax(std::fabs(a), std::fabs(b))) real(what, a, b);
  }
  void at(const std::string& where) { where_ = where; }
  bool done() const { return !difference_.empty(); }
  std::string result() const { return difference_; }

 private:
  double tolerance_;
  std::string where_;
  std::string difference_;
};

template <class Element>
void comparePoints(Comparison& c, const Element& a, const Element& b) {
  c.field("xCor", a.xCor, b.xCor);
  c.field("yCor", a.yCor, b.yCor);
}

// PLEX, ELFLAGS and the properties, which every kind holds.
template <class Element>
void compareCommon(Comparison& c, const Element& a, const Element& b) {
  c.field("plex", a.plex, b.plex);
  c.field("elflags", a.elflags, b.elflags);
  c.field("properties", a.properties, b.properties);
}

template <class List, class Compare>
void compareList(Comparison& c, const std::string& where, const List& a, const List& b,
                 Compare&& compare) {
  c.at(where);
  c.field(" count", a.size(), b.size());
  for (size_t i = 0; i < a.size() && !c.done(); ++i) {
    c.at(where + "[" + std::to_string(i) + "] ");
    compare(a[i], b[i]);
  }
}

}  // namespace

std::string firstRoundTripDifference(const GdsLibrary& a, const GdsLibrary& b,
                                     double relativeTolerance) {
  Comparison c(relativeTolerance);
  c.at("library ");
  c.field("name", a.name, b.name);
  c.real("userUnit", a.userUnit, b.userUnit);
  c.real("meterUnit", a.meterUnit, b.meterUnit);
  c.field("maxLevel", a.maxLevel, b.maxLevel);
  c.field("structure count", a.structures.size(), b.structures.size());
  for (size_t s = 0; s < a.structures.size() && !c.done(); ++s) {
    const GdsStructure& x = a.structures[s];
    const GdsStructure& y = b.structures[s];
    const std::string where = "structure " + std::to_string(s) + " \"" + x.name + "\" ";
    c.at(where);
    c.field("name", x.name, y.name);
    c.field("level", x.level, y.level);
    c.field("bbox", x.bbox, y.bbox);
    compareList(c, where + "boundary", x.boundaries, y.boundaries, [&](auto& p, auto& q) {
      c.field("layer", p.layer, q.layer);
      c.field("datatype", p.datatype, q.datatype);
      comparePoints(c, p, q);
      compareCommon(c, p, q);
    });
    compareList(c, where + "path", x.paths, y.paths, [&](auto& p, auto& q) {
      c.field("layer", p.layer, q.layer);
      c.field("datatype", p.datatype, q.datatype);
      c.field("pathtype", p.pathtype, q.pathtype);
      c.field("width", p.width, q.width);
      if (p.pathtype == 4) {
        c.field("bgnextn", p.bgnextn, q.bgnextn);
        c.field("endextn", p.endextn, q.endextn);
      }
      comparePoints(c, p, q);
      compareCommon(c, p, q);
    });
    compareList(c, where + "sref", x.srefs, y.srefs, [&](auto& p, auto& q) {
      c.field("name", p.name, q.name);
      c.field("reflection", p.reflection, q.reflection);
      c.field("strans", p.strans, q.strans);
      c.near("scale", p.scale, q.scale);
      c.near("angle", p.angle, q.angle);
      c.field("xCor", p.xCor, q.xCor);
      c.field("yCor", p.yCor, q.yCor);
      compareCommon(c, p, q);
    });
    compareList(c, where + "aref", x.arefs, y.arefs, [&](auto& p, auto& q) {
      c.field("name", p.name, q.name);
      c.field("reflection", p.reflection, q.reflection);
      c.near("scale", p.scale, q.scale);
      c.near("angle", p.angle, q.angle);
      c.field("columns", p.columns, q.columns);
      c.field("rows", p.rows, q.rows);
      c.field("xy", p.xy, q.xy);
      c.field("strans", p.strans, q.strans);
      compareCommon(c, p, q);
    });
    compareList(c, where + "text", x.texts, y.texts, [&](auto& p, auto& q) {
      c.field("textbody", p.textbody, q.textbody);
      c.field("layer", p.layer, q.layer);
      c.field("texttype", p.texttype, q.texttype);
      c.field("presentation", p.presentation, q.presentation);
      c.field("pathtype", p.pathtype, q.pathtype);
      c.field("strans", p.strans, q.strans);
      c.field("width", p.width, q.width);
      c.near("scale", p.scale, q.scale);
      c.near("angle", p.angle, q.angle);
      c.field("optional records", int{p.records}, int{q.records});
      c.field("xCor", p.xCor, q.xCor);
      c.field("yCor", p.yCor, q.yCor);
      compareCommon(c, p, q);
    });
    compareList(c, where + "node", x.nodes, y.nodes, [&](auto& p, auto& q) {
      c.field("layer", p.layer, q.layer);
      c.field("nodetype", p.nodetype, q.nodetype);
      comparePoints(c, p, q);
      compareCommon(c, p, q);
    });
    compareList(c, where + "box", x.boxes, y.boxes, [&](auto& p, auto& q) {
      c.field("layer", p.layer, q.layer);
      c.field("boxtype", p.boxtype, q.boxtype);
      comparePoints(c, p, q);
      compareCommon(c, p, q);
    });
  }
  return c.result();
}

}  // namespace tessel
