(function () {
  "use strict";
  var form = document.getElementById("check");
  var drop = document.getElementById("drop");
  var file = document.getElementById("file");
  var hint = document.getElementById("drop-hint");
  var button = document.getElementById("submit");
  var idle = hint.textContent;

  function describe() {
    hint.textContent = file.files.length ? "The file " + file.files[0].name + " will be checked." : idle;
  }
  function over(event) {
    event.preventDefault();
    drop.classList.add("over");
  }
  function left() {
    drop.classList.remove("over");
  }
  drop.addEventListener("dragenter", over);
  drop.addEventListener("dragover", over);
  drop.addEventListener("dragleave", left);
  drop.addEventListener("drop", function (event) {
    event.preventDefault();
    left();
    if (event.dataTransfer && event.dataTransfer.files.length) {
      file.files = event.dataTransfer.files;
      describe();
    }
  });
  file.addEventListener("change", describe);
  document.getElementById("text").addEventListener("keydown", function (event) {
    if (event.key === "Enter" && (event.ctrlKey || event.metaKey)) {
      event.preventDefault();
      button.click();
    }
  });
  form.addEventListener("submit", function (event) {
    var limit = Number(form.getAttribute("data-max-bytes"));
    var size = new Blob([document.getElementById("text").value]).size + (file.files.length ? file.files[0].size : 0);
    if (size > limit) {
      event.preventDefault();
      hint.textContent = "That is " + size + " bytes, over the limit of " + limit + " bytes.";
      return;
    }
    button.textContent = "Checking…";
    form.setAttribute("aria-busy", "true");
  });
  window.addEventListener("pageshow", function () {
    button.textContent = "Check";
    form.removeAttribute("aria-busy");
  });
  var results = document.getElementById("results");
  if (results) {
    results.focus();
  }
})();
